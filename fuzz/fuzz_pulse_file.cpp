// libFuzzer target: the input is a whole pulse file.
//
// Every input is opened as a pulse file and, when it opens, driven through everything a
// script can do with it: both queries (pulses with and without a filter) for every aperture
// of the index, the pulses of all of them in one call, a copy of all apertures into a new
// file and a merge of the file with itself.
// A damaged file must end in zpr::Error (or zpr::InternalFault for the merge's metadata
// checks); any other exception, a crash, a sanitizer report, a leak or an allocation above
// -malloc_limit_mb is a finding.
//
// The file lives in a memfd and the copy's output in a second one; the merge writes below
// /dev/shm. RLIMIT_FSIZE bounds every output (a damaged data_offset can ask the merge for
// endless padding); writes past it fail with EFBIG, an ordinary error. Run with
// -handle_xfsz=0 so that libFuzzer leaves SIGXFSZ ignored.
#include "error.hpp"
#include "pulse_filter/pulse_filter.hpp"
#include "pulse_reader/pulse_reader.hpp"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

namespace {

// Bounds on the work done for one input, so that every input stays fast.
constexpr std::size_t kMaxQueriedApertures = 64;
constexpr uint64_t kMaxMergedDataOffset = 1 << 20;
constexpr rlim_t kMaxOutputBytes = 16 << 20;

int input_fd = -1;
int output_fd = -1;
std::string scratch_dir;

std::string fd_path(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

bool write_input(const uint8_t* data, size_t size) {
    if (ftruncate(input_fd, 0) != 0) return false;
    size_t done = 0;
    while (done < size) {
        ssize_t put = pwrite(input_fd, data + done, size - done, off_t(done));
        if (put <= 0) return false;
        done += size_t(put);
    }
    return true;
}

zpr::PulseFilter fixed_filter() {
    zpr::PulseFilter filter;
    filter.min_dur_f = 2;
    filter.max_dur_s = 50.0f;
    filter.min_snr = 0.5f;
    filter.min_binratio = 0.0f;
    filter.max_binratio = 10.0f;
    filter.start_m = 0.0f;
    filter.end_m = 1000.0f;
    filter.mask_s = std::pair<float, float>(1.0f, 2.0f);
    filter.recalc_ipd = true;
    return filter;
}

template <typename F>
void expecting_errors(F&& step) {
    try {
        step();
    } catch (const zpr::Error&) {
    } catch (const zpr::InternalFault&) {
    }
}

void exercise(const zpr::PulseReader& reader) {
    static const zpr::PulseFilter filter = fixed_filter();
    const std::vector<uint32_t>& apertures = reader.index().apertures();
    const std::size_t queried = std::min(apertures.size(), kMaxQueriedApertures);
    for (std::size_t i = 0; i < queried; ++i) {
        const uint64_t aperture = apertures[i];
        expecting_errors([&] { (void)reader.get_all_records(aperture); });
        expecting_errors([&] { (void)reader.get_pulses(aperture, nullptr); });
        expecting_errors([&] { (void)reader.get_pulses(aperture, &filter); });
    }

    const std::vector<uint64_t> first(apertures.begin(), apertures.begin() + std::ptrdiff_t(queried));
    expecting_errors([&] { (void)reader.get_pulses_many(first, &filter); });

    // The Python entry point passes the requested apertures sorted and without duplicates.
    std::vector<uint64_t> unique = apertures;
    std::sort(unique.begin(), unique.end());
    unique.erase(std::unique(unique.begin(), unique.end()), unique.end());
    expecting_errors([&] { reader.copy_apertures_to_new_file(unique, fd_path(output_fd)); });

    if (reader.header().data_offset <= kMaxMergedDataOffset) {
        const std::string merged = scratch_dir + "/merged.bin";
        expecting_errors([&] { zpr::merge_pulse_files({&reader, &reader}, merged); });
        unlink(merged.c_str());
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    input_fd = memfd_create("pulses.bin", MFD_CLOEXEC);
    output_fd = memfd_create("copy.bin", MFD_CLOEXEC);
    char shm_template[] = "/dev/shm/zpr-fuzz-XXXXXX";
    char tmp_template[] = "/tmp/zpr-fuzz-XXXXXX";
    const char* dir = mkdtemp(shm_template);
    if (dir == nullptr) dir = mkdtemp(tmp_template);
    if (input_fd < 0 || output_fd < 0 || dir == nullptr) {
        perror("fuzz_pulse_file: setup");
        std::abort();
    }
    scratch_dir = dir;
    // Writes past the limit fail with EFBIG instead of killing the process.
    std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit = {kMaxOutputBytes, kMaxOutputBytes};
    setrlimit(RLIMIT_FSIZE, &limit);
    std::atexit([] { rmdir(scratch_dir.c_str()); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (!write_input(data, size)) std::abort();
    try {
        const zpr::PulseReader reader = zpr::PulseReader::open(fd_path(input_fd));
        exercise(reader);
    } catch (const zpr::Error&) {
    } catch (const zpr::InternalFault&) {
    }
    return 0;
}
