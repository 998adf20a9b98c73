// Writes a replay session for `tactreplay --bench`: one finger lands, moves a
// little with every report (40 device units down and right, 64 steps one way
// and 64 back, over and over) and lifts with the last report. Reports come
// every 8 ms. The agent's log stays at its start-up mask, as it is for a
// user; with --log-off the session first turns it off.
//
//   make_bench_session [--log-off] FILE [REPORTS]   (REPORTS defaults to 100000)
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

int main(int argc, char** argv) {
    bool logOff = false;
    if (argc > 1 && std::strcmp(argv[1], "--log-off") == 0) {
        logOff = true;
        --argc;
        ++argv;
    }
    if (argc < 2 || argc > 3 || std::strcmp(argv[1], "--help") == 0) {
        std::fprintf(stderr, "Usage: make_bench_session [--log-off] FILE [REPORTS]\n");
        return argc >= 2 && std::strcmp(argv[1], "--help") == 0 ? 0 : 2;
    }
    long reports = 100000;
    if (argc == 3) {
        char* end = nullptr;
        reports = std::strtol(argv[2], &end, 10);
        if (*argv[2] == '\0' || *end != '\0' || reports < 2 || reports > 10000000) {
            std::fprintf(stderr, "make_bench_session: REPORTS must be 2..10000000\n");
            return 2;
        }
    }
    std::FILE* out = std::fopen(argv[1], "w");
    if (!out) {
        std::fprintf(stderr, "make_bench_session: cannot write %s: %s\n", argv[1],
                     std::strerror(errno));
        return 1;
    }

    std::fprintf(out,
                 "# %ld reports of one finger moving a little with every report.\n"
                 "# Written by make_bench_session for tactreplay --bench.\n",
                 reports);
    if (logOff)
        std::fprintf(out, "0 control {\"LogTrigger\": 0}\n");
    constexpr long kSteps = 64;
    constexpr long kStep = 40;
    for (long i = 0; i < reports; ++i) {
        const long k = i % (2 * kSteps);
        const long offset = (k <= kSteps ? k : 2 * kSteps - k) * kStep;
        // Times in whole milliseconds, written exactly.
        const long ms = 8 * i;
        std::fprintf(out, "%ld.%03ld touch 1:%ld,%ld%s\n", ms / 1000, ms % 1000, 10000 + offset,
                     12000 + offset, i + 1 == reports ? ":up" : "");
    }
    if (std::fclose(out) != 0) {
        std::fprintf(stderr, "make_bench_session: cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
