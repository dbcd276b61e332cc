// Runs the hexlines program as a separate process over a table of inputs and
// checks its standard output, standard error, exit status and how much of
// standard input it consumed.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace {

using namespace std::string_view_literals;

// Reference encoder, written straight from the output format: each line (up to
// and including a newline, or the bytes left at the end of input) becomes the
// "%02x" form of all its bytes but the last, followed by a newline.
std::string encode_lines(std::string_view input) {
    std::string out;
    std::size_t start = 0;
    while (start < input.size()) {
        const std::size_t newline = input.find('\n', start);
        const std::size_t end = newline == std::string_view::npos ? input.size() : newline + 1;
        for (std::size_t i = start; i + 1 < end; ++i) {
            char digits[3];
            std::snprintf(digits, sizeof digits, "%02x", static_cast<unsigned char>(input[i]));
            out.append(digits, 2);
        }
        out += '\n';
        start = end;
    }
    return out;
}

// Appends length random bytes other than the newline: zero bytes, carriage
// returns and bytes from 0x80 to 0xff all occur.
void append_random_bytes(std::string &s, std::size_t length, std::mt19937_64 &rng) {
    std::uniform_int_distribution<int> byte(0, 254);
    for (std::size_t i = 0; i < length; ++i) {
        const int b = byte(rng);
        s += static_cast<char>(b == '\n' ? 255 : b);
    }
}

// Many random lines of 0 to 300 bytes, the last one without a newline: 3 MB
// of input, far more than any stream buffer holds.
std::string random_lines() {
    std::mt19937_64 rng(20240611);
    std::uniform_int_distribution<std::size_t> length(0, 300);
    std::string s;
    for (int line = 0; line < 20000; ++line) {
        append_random_bytes(s, length(rng), rng);
        s += '\n';
    }
    append_random_bytes(s, 77, rng);
    return s;
}

// Short lines, then one line far longer than any before it, then short lines
// again, which must come out intact from the grown buffers.
std::string long_line_between_short_ones() {
    std::mt19937_64 rng(7);
    std::string s = "ab\n\nxyz\n";
    append_random_bytes(s, 10'000'000, rng);
    s += "\nq\n\n12\r\n\x80\x00\xff\n\0tail"sv;
    return s;
}

// A single line too long for the output buffer under the address-space limit
// of its case: the line fits, twice the line buffer's capacity does not.
std::string very_long_line() {
    return std::string(48'000'000, 'm') + '\n';
}

// A line that the line reader itself cannot hold under the same limit: it
// gives up without marking end of input or an error on the stream, and that
// must not pass for a clean end of input.
std::string line_too_long_to_read() {
    return std::string(200'000'000, 'q') + '\n';
}

constexpr rlim_t memory_error_limit = rlim_t{128} << 20;

enum class Input { file, directory };
enum class Output { file, full_device };
// How much of standard input the program consumes before it ends.
enum class Reads { all, nothing, part, unchecked };

struct Case {
    const char *name;
    std::string input = "";               // bytes on standard input (a regular file) ...
    std::string (*generate)() = nullptr;  // ... or, when set, the bytes this makes
    std::vector<std::string> argv = {"hexlines"};
    Input in = Input::file;
    Output out = Output::file;
    rlim_t address_space = RLIM_INFINITY;
    int status = 0;
    std::string diagnostic = "";  // the whole of standard error
    Reads reads = Reads::all;
};

void PrintTo(const Case &c, std::ostream *os) {
    *os << c.name;
}

const Case cases[] = {
    {.name = "Word", .input = "hello\n"},
    {.name = "OnlyNewline", .input = "\n"},
    {.name = "LastLineWithoutNewline", .input = "first\nabc"},
    {.name = "SingleFinalByte", .input = "first\nx"},
    {.name = "CarriageReturn", .input = "a\r\n"},
    {.name = "HighBytes", .input = "\xff\n\x80\x7f\n"},
    {.name = "ZeroByteInsideLine", .input = std::string("a\0b\n\0\n"sv)},
    {.name = "EmptyInput", .input = ""},
    {.name = "RandomBinaryLines", .generate = random_lines},
    {.name = "LongLineBetweenShortOnes", .generate = long_line_between_short_ones},
    {.name = "UsageWithArgument",
     .input = "unread\n",
     .argv = {"hexlines", "-v"},
     .status = 1,
     .diagnostic = "Usage: hexlines\n",
     .reads = Reads::nothing},
    {.name = "UsageWithEmptyArgument",
     .input = "unread\n",
     .argv = {"./bin/hex filter", ""},
     .status = 1,
     .diagnostic = "Usage: ./bin/hex filter\n",
     .reads = Reads::nothing},
    {.name = "UsageWithEmptyProgramName",
     .input = "unread\n",
     .argv = {"", "a", "b"},
     .status = 1,
     .diagnostic = "Usage: \n",
     .reads = Reads::nothing},
    {.name = "ReadError",
     .in = Input::directory,
     .status = 1,
     .diagnostic = "read error\n",
     .reads = Reads::unchecked},
    {.name = "WriteErrorAtEnd",
     .input = "hello\n",
     .out = Output::full_device,
     .status = 1,
     .diagnostic = "write error\n"},
    {.name = "WriteErrorWhileWriting",
     .generate = random_lines,
     .out = Output::full_device,
     .status = 1,
     .diagnostic = "write error\n",
     .reads = Reads::part},
    {.name = "NothingToWriteToFullDevice", .input = "", .out = Output::full_device},
    {.name = "MemoryError",
     .generate = very_long_line,
     .address_space = memory_error_limit,
     .status = 1,
     .diagnostic = "memory error\n"},
    {.name = "MemoryErrorWhileReading",
     .generate = line_too_long_to_read,
     .address_space = memory_error_limit,
     .status = 1,
     .diagnostic = "memory error\n",
     .reads = Reads::unchecked},
};

class Fd {
  public:
    explicit Fd(int fd) : fd_(fd) {}
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    ~Fd() {
        if (fd_ >= 0) close(fd_);
    }
    int get() const { return fd_; }

  private:
    int fd_;
};

// An unlinked temporary file, open for reading and writing.
Fd temp_file() {
    std::string path = testing::TempDir() + "hexlines_test.XXXXXX";
    const int fd = mkstemp(path.data());
    if (fd >= 0) unlink(path.c_str());
    return Fd(fd);
}

bool write_all(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t n = write(fd, data.data(), data.size());
        if (n <= 0) return false;
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

std::string read_from_start(int fd) {
    std::string s;
    char chunk[1 << 16];
    lseek(fd, 0, SEEK_SET);
    for (ssize_t n; (n = read(fd, chunk, sizeof chunk)) > 0;) s.append(chunk, n);
    return s;
}

testing::AssertionResult same_bytes(const std::string &actual, const std::string &expected) {
    if (actual == expected) return testing::AssertionSuccess();
    const auto diff = std::mismatch(actual.begin(), actual.end(), expected.begin(), expected.end());
    const auto at = static_cast<std::size_t>(diff.first - actual.begin());
    return testing::AssertionFailure()
           << "got " << actual.size() << " bytes, expected " << expected.size()
           << "; first difference at byte " << at << ": got \"" << actual.substr(at, 40)
           << "\", expected \"" << expected.substr(at, 40) << "\"";
}

class HexlinesRun : public testing::TestWithParam<Case> {};

TEST_P(HexlinesRun, Behaves) {
    const Case &c = GetParam();
    const std::string input = c.generate != nullptr ? c.generate() : c.input;

    const Fd in = c.in == Input::directory
                      ? Fd(open(testing::TempDir().c_str(), O_RDONLY | O_DIRECTORY))
                      : temp_file();
    const Fd out = c.out == Output::full_device ? Fd(open("/dev/full", O_WRONLY)) : temp_file();
    const Fd err = temp_file();
    ASSERT_GE(in.get(), 0);
    ASSERT_GE(out.get(), 0);
    ASSERT_GE(err.get(), 0);
    if (c.in == Input::file) {
        ASSERT_TRUE(write_all(in.get(), input));
        ASSERT_EQ(lseek(in.get(), 0, SEEK_SET), 0);
    }

    std::vector<char *> argv;
    for (const std::string &arg : c.argv) argv.push_back(const_cast<char *>(arg.c_str()));
    argv.push_back(nullptr);

    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        const rlimit limit{c.address_space, c.address_space};
        if (c.address_space != RLIM_INFINITY && setrlimit(RLIMIT_AS, &limit) != 0) _exit(126);
        if (dup2(in.get(), 0) < 0 || dup2(out.get(), 1) < 0 || dup2(err.get(), 2) < 0) _exit(126);
        execv(HEXLINES_PATH, argv.data());
        _exit(127);
    }
    int wait_status = 0;
    ASSERT_EQ(waitpid(pid, &wait_status, 0), pid);
    ASSERT_TRUE(WIFEXITED(wait_status)) << "ended by signal " << WTERMSIG(wait_status);

    EXPECT_EQ(WEXITSTATUS(wait_status), c.status);
    EXPECT_EQ(read_from_start(err.get()), c.diagnostic);
    // Every failing case fails before a line is complete, so nothing may have
    // been written. The full device keeps nothing to compare.
    if (c.out == Output::file) {
        EXPECT_TRUE(
            same_bytes(read_from_start(out.get()), c.status == 0 ? encode_lines(input) : ""));
    }
    // The child shares the file offset of standard input with this process.
    const off_t consumed = lseek(in.get(), 0, SEEK_CUR);
    const auto size = static_cast<off_t>(input.size());
    switch (c.reads) {
        case Reads::all:
            EXPECT_EQ(consumed, size);
            break;
        case Reads::nothing:
            EXPECT_EQ(consumed, 0);
            break;
        case Reads::part:
            EXPECT_LT(consumed, size) << "went on after a failed write";
            break;
        case Reads::unchecked:
            break;
    }
}

INSTANTIATE_TEST_SUITE_P(Inputs, HexlinesRun, testing::ValuesIn(cases),
                         [](const testing::TestParamInfo<Case> &info) { return info.param.name; });

}  // namespace
