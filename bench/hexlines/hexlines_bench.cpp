// Measures the throughput of hexlines side by side with xxd -p and
// basenc --base16 on 100 MB of random printable text in lines of 80 bytes.
//
//   hexlines_bench [path/to/hexlines [rounds]]
//
// Every tool reads the same temporary file on standard input and writes to
// /dev/null. The tools run in interleaved rounds (one run of each per round,
// the order rotating) after one untimed warm-up run each, so that the page
// cache and any drift of the machine affect all of them alike; the median
// wall time of each is reported. A peer that is not installed is skipped.

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

namespace {

constexpr std::size_t line_bytes = 80;  // 79 printable characters and a newline
constexpr std::size_t line_count = 1'250'000;
constexpr std::size_t input_bytes = line_bytes * line_count;  // 100 MB

struct Tool {
    std::string label;
    std::vector<std::string> argv;  // argv[0] is the resolved path
    std::vector<double> seconds;
    long peak_rss_kib = 0;
};

struct Run {
    double seconds;
    long max_rss_kib;
};

// Finds name in PATH as the shell would; empty when it is not installed.
std::string find_in_path(const char *name) {
    const char *path = std::getenv("PATH");
    const std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
    std::string candidate;
    for (std::size_t start = 0; start <= dirs.size();) {
        const std::size_t end = std::min(dirs.find(':', start), dirs.size());
        candidate.assign(dirs, start, end - start);
        if (candidate.empty()) candidate.push_back('.');  // an empty entry is the current directory
        candidate.push_back('/');
        candidate.append(name);
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
        start = end + 1;
    }
    return {};
}

// Writes input_bytes of random printable ASCII (0x20 to 0x7e) in lines of
// line_bytes to an unlinked temporary file and returns its descriptor.
int make_input() {
    const char *tmpdir = std::getenv("TMPDIR");
    std::string path = tmpdir != nullptr ? tmpdir : "/tmp";
    path.append("/hexlines_bench.XXXXXX");
    const int fd = mkstemp(path.data());
    if (fd < 0) return -1;
    unlink(path.c_str());

    std::uint64_t state = 0x9e3779b97f4a7c15u;  // xorshift64*, fixed seed
    std::vector<char> block(line_bytes * 10'000);
    for (std::size_t written = 0; written < input_bytes; written += block.size()) {
        for (std::size_t i = 0; i < block.size(); ++i) {
            if (i % line_bytes == line_bytes - 1) {
                block[i] = '\n';
                continue;
            }
            state ^= state >> 12;
            state ^= state << 25;
            state ^= state >> 27;
            block[i] = static_cast<char>(0x20 + (state * 0x2545f4914f6cdd1dull >> 32) % 95);
        }
        if (write(fd, block.data(), block.size()) != static_cast<ssize_t>(block.size())) {
            close(fd);
            return -1;
        }
    }
    return fd;
}

double now_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// Runs argv with standard input at the start of input_fd and standard output
// on /dev/null; empty when the run fails or exits with a non-zero status.
std::optional<Run> run_once(const std::vector<std::string> &argv, int input_fd, int null_fd) {
    std::vector<char *> args;
    for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);

    const double start = now_seconds();
    const pid_t pid = fork();
    if (pid < 0) return std::nullopt;
    if (pid == 0) {
        if (lseek(input_fd, 0, SEEK_SET) != 0 || dup2(input_fd, 0) < 0 || dup2(null_fd, 1) < 0) {
            _exit(126);
        }
        execv(args[0], args.data());
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) != pid) return std::nullopt;
    const double elapsed = now_seconds() - start;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;
    return Run{elapsed, usage.ru_maxrss};
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

double megabytes_per_second(double seconds) {
    return static_cast<double>(input_bytes) / 1e6 / seconds;
}

}  // namespace

int main(int argc, char **argv) {
#ifdef HEXLINES_DEFAULT_PATH
    std::string hexlines = argc > 1 ? argv[1] : HEXLINES_DEFAULT_PATH;
#else
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s path/to/hexlines [rounds]\n", argv[0]);
        return 1;
    }
    std::string hexlines = argv[1];
#endif
    const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 7;
    if (access(hexlines.c_str(), X_OK) != 0) {
        std::fprintf(stderr, "hexlines not found at %s\n", hexlines.c_str());
        return 1;
    }

    std::vector<Tool> tools;
    tools.push_back({"hexlines", {hexlines}, {}, 0});
    struct Peer {
        const char *label, *name, *option;
    };
    for (const Peer &peer :
         {Peer{"xxd -p", "xxd", "-p"}, Peer{"basenc --base16", "basenc", "--base16"}}) {
        const std::string path = find_in_path(peer.name);
        if (path.empty()) {
            std::printf("note: %s is not installed; skipping it\n", peer.name);
            continue;
        }
        tools.push_back({peer.label, {path, peer.option}, {}, 0});
    }

    const int input_fd = make_input();
    const int null_fd = open("/dev/null", O_WRONLY);
    if (input_fd < 0 || null_fd < 0) {
        std::fprintf(stderr, "cannot create the input file or open /dev/null\n");
        return 1;
    }

    for (Tool &tool : tools) {
        if (!run_once(tool.argv, input_fd, null_fd)) {
            std::fprintf(stderr, "%s failed on the warm-up run\n", tool.label.c_str());
            return 1;
        }
    }
    for (int round = 0; round < rounds; ++round) {
        for (std::size_t k = 0; k < tools.size(); ++k) {
            Tool &tool = tools[(k + static_cast<std::size_t>(round)) % tools.size()];
            const std::optional<Run> run = run_once(tool.argv, input_fd, null_fd);
            if (!run) {
                std::fprintf(stderr, "%s failed in round %d\n", tool.label.c_str(), round + 1);
                return 1;
            }
            tool.seconds.push_back(run->seconds);
            tool.peak_rss_kib = std::max(tool.peak_rss_kib, run->max_rss_kib);
        }
    }

    std::printf("input: %zu bytes of random printable text, %zu lines of %zu bytes\n", input_bytes,
                line_count, line_bytes);
    std::printf("%d interleaved rounds, median wall time, output to /dev/null\n\n", rounds);
    std::printf("%-16s %10s %10s %12s %14s\n", "tool", "median s", "MB/s", "peak RSS",
                "hexlines is");
    const double ours = median(tools[0].seconds);
    for (const Tool &tool : tools) {
        const double t = median(tool.seconds);
        std::printf("%-16s %10.3f %10.1f %9.1f MB %13.2fx\n", tool.label.c_str(), t,
                    megabytes_per_second(t), static_cast<double>(tool.peak_rss_kib) / 1024.0,
                    t / ours);
    }
    std::printf(
        "\n(MB = 10^6 bytes of input; \"hexlines is\" = throughput of hexlines divided "
        "by that of the tool)\n");
    struct Goal {
        const char *label;
        double factor;
    };
    for (const Goal &goal : {Goal{"xxd -p", 4.0}, Goal{"basenc --base16", 1.0}}) {
        for (const Tool &tool : tools) {
            if (tool.label != goal.label) continue;
            const double ratio = median(tool.seconds) / ours;
            std::printf("goal: at least %.0fx the throughput of %s: %s (%.2fx)\n", goal.factor,
                        goal.label, ratio >= goal.factor ? "met" : "NOT met", ratio);
        }
    }

    close(input_fd);
    close(null_fd);
    return 0;
}
