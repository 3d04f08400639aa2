// Times the core library alone, without Python: opening a pulse file and the per-aperture
// queries, next to the cost of just reading the aperture's bytes with pread into a buffer
// that is already allocated and touched (the floor any reader has to pay).
//
//   core_bench query FILE APERTURE REPEATS [name=value ...]   filter criteria as name=value
//   core_bench open FILE REPEATS
//   core_bench profile FILE APERTURE REPEATS records|pulses|filtered [name=value ...]
//                                       one kind of call only, for perf record
//
// Prints one JSON object with the median of each measurement in milliseconds.
#include "pulse_filter/pulse_filter.hpp"
#include "pulse_reader/pulse_reader.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double ms_since(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 ? v[n / 2] : 0.5 * (v[n / 2 - 1] + v[n / 2]);
}

// Reads `length` bytes at `offset` into `buffer` with pread.
void pread_all(int fd, std::vector<uint8_t>& buffer, uint64_t offset) {
    std::size_t done = 0;
    while (done < buffer.size()) {
        ssize_t got = ::pread(fd, buffer.data() + done, buffer.size() - done, off_t(offset + done));
        if (got <= 0) {
            std::perror("pread");
            std::exit(1);
        }
        done += std::size_t(got);
    }
}

zpr::PulseFilter parse_filter(int argc, char** argv, int first) {
    zpr::PulseFilter f;
    for (int i = first; i < argc; ++i) {
        std::string arg = argv[i];
        const auto eq = arg.find('=');
        const std::string name = arg.substr(0, eq), value = arg.substr(eq + 1);
        const float x = std::strtof(value.c_str(), nullptr);
        if (name == "min_dur_f") f.min_dur_f = uint32_t(std::strtoul(value.c_str(), nullptr, 10));
        else if (name == "min_dur_s") f.min_dur_s = x;
        else if (name == "max_dur_s") f.max_dur_s = x;
        else if (name == "min_snr") f.min_snr = x;
        else if (name == "min_intensity") f.min_intensity = x;
        else if (name == "min_binratio") f.min_binratio = x;
        else if (name == "max_binratio") f.max_binratio = x;
        else if (name == "start_m") f.start_m = x;
        else if (name == "end_m") f.end_m = x;
        else if (name == "mask_s") {
            const auto comma = value.find(',');
            f.mask_s = std::pair(std::strtof(value.substr(0, comma).c_str(), nullptr),
                                 std::strtof(value.substr(comma + 1).c_str(), nullptr));
        } else if (name == "recalc_ipd") f.recalc_ipd = value == "1" || value == "true" || value == "True";
        else {
            std::fprintf(stderr, "unknown filter criterion %s\n", name.c_str());
            std::exit(2);
        }
    }
    return f;
}

int query(const char* path, uint64_t aperture, int repeats, const zpr::PulseFilter& filter) {
    std::vector<double> open_ms, records_ms, pulses_ms, filtered_ms, pread_ms;
    std::size_t records = 0, pulses = 0, kept = 0;
    uint64_t location = 0, record_count = 0;
    {
        const zpr::PulseReader reader = zpr::PulseReader::open(path);
        const zpr::ApertureHeader header = reader.read_aperture_header(aperture);
        location = header.aperture_byteloc;
        record_count = header.record_count();
    }
    const int fd = ::open(path, O_RDONLY);
    std::vector<uint8_t> buffer(16 + 16 * record_count);
    std::memset(buffer.data(), 1, buffer.size());
    pread_all(fd, buffer, location);  // warm the page cache

    for (int r = 0; r < repeats; ++r) {
        auto t = Clock::now();
        pread_all(fd, buffer, location);
        pread_ms.push_back(ms_since(t));

        t = Clock::now();
        const zpr::PulseReader reader = zpr::PulseReader::open(path);
        open_ms.push_back(ms_since(t));

        t = Clock::now();
        {
            auto result = reader.get_all_records(aperture);
            records = result.records.size();
        }
        records_ms.push_back(ms_since(t));

        t = Clock::now();
        {
            auto result = reader.get_pulses(aperture, nullptr);
            pulses = result.pulses.size();
        }
        pulses_ms.push_back(ms_since(t));

        t = Clock::now();
        {
            auto result = reader.get_pulses(aperture, &filter);
            kept = result.pulses.size();
        }
        filtered_ms.push_back(ms_since(t));
    }
    ::close(fd);
    std::printf(
        "{\"records\": %zu, \"pulses\": %zu, \"kept\": %zu, \"bytes\": %zu, \"repeats\": %d, \"open_ms\": %.6f, "
        "\"pread_ms\": %.6f, \"get_all_records_ms\": %.6f, \"get_pulses_ms\": %.6f, "
        "\"get_pulses_filtered_ms\": %.6f}\n",
        records, pulses, kept, buffer.size(), repeats, median(open_ms), median(pread_ms), median(records_ms),
        median(pulses_ms), median(filtered_ms));
    return 0;
}

int open_only(const char* path, int repeats) {
    std::vector<double> open_ms, pread_ms;
    uint64_t index_offset = 0, count = 0;
    {
        const zpr::PulseReader reader = zpr::PulseReader::open(path);
        index_offset = reader.header().index_offset;
        count = reader.header().aperture_count;
    }
    const int fd = ::open(path, O_RDONLY);
    std::vector<uint8_t> buffer(8 + 12 * count);
    std::memset(buffer.data(), 1, buffer.size());
    std::size_t apertures = 0;
    for (int r = 0; r < repeats; ++r) {
        auto t = Clock::now();
        pread_all(fd, buffer, index_offset);
        pread_ms.push_back(ms_since(t));
        t = Clock::now();
        {
            const zpr::PulseReader reader = zpr::PulseReader::open(path);
            apertures = reader.index().apertures().size();
        }
        open_ms.push_back(ms_since(t));
    }
    ::close(fd);
    std::printf("{\"apertures\": %zu, \"repeats\": %d, \"open_ms\": %.6f, \"pread_index_ms\": %.6f}\n", apertures,
                repeats, median(open_ms), median(pread_ms));
    return 0;
}

int profile(const char* path, uint64_t aperture, int repeats, const std::string& what, const zpr::PulseFilter& filter) {
    const zpr::PulseReader reader = zpr::PulseReader::open(path);
    std::size_t rows = 0;
    const auto t = Clock::now();
    for (int r = 0; r < repeats; ++r) {
        if (what == "records") rows += reader.get_all_records(aperture).records.size();
        else if (what == "pulses") rows += reader.get_pulses(aperture, nullptr).pulses.size();
        else rows += reader.get_pulses(aperture, &filter).pulses.size();
    }
    std::printf("{\"rows\": %zu, \"ms_per_call\": %.6f}\n", rows, ms_since(t) / repeats);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        const std::string mode = argc > 1 ? argv[1] : "";
        if (mode == "query" && argc >= 5)
            return query(argv[2], std::strtoull(argv[3], nullptr, 10), std::atoi(argv[4]), parse_filter(argc, argv, 5));
        if (mode == "open" && argc == 4) return open_only(argv[2], std::atoi(argv[3]));
        if (mode == "profile" && argc >= 6)
            return profile(argv[2], std::strtoull(argv[3], nullptr, 10), std::atoi(argv[4]), argv[5],
                           parse_filter(argc, argv, 6));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "core_bench: %s\n", e.what());
        return 1;
    }
    std::fprintf(stderr,
                 "usage: core_bench query FILE APERTURE REPEATS [name=value ...]\n"
                 "       core_bench open FILE REPEATS\n"
                 "       core_bench profile FILE APERTURE REPEATS records|pulses|filtered [name=value ...]\n");
    return 2;
}
