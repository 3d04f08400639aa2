"""The subcommands of ``zyn-pulse``, one module each."""
