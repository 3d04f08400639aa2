"""``python -m zyn_pulse_tools`` runs the ``zyn-pulse`` command."""

import sys

from zyn_pulse_tools.cli import main

sys.exit(main())
