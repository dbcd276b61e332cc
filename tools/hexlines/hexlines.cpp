// hexlines: reads standard input line by line and writes every line as
// lowercase hexadecimal digits, two per byte, one output line per input line.
// The last byte of each line (normally its newline) is not encoded.
//
// Exit status 0 at the end of input; 1 after a usage, memory, read or write
// error, each reported by a one-line message on standard error.

#include <sys/types.h>

#include <array>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Two ASCII digits per byte value, in output order. Built at compile time so
// that encoding a byte is a single two-byte copy; the text equals "%02x".
constexpr std::array<char, 512> make_hex_pairs() {
    constexpr char digits[] = "0123456789abcdef";
    std::array<char, 512> pairs{};
    for (int byte = 0; byte < 256; ++byte) {
        pairs[2 * byte] = digits[byte >> 4];
        pairs[2 * byte + 1] = digits[byte & 0xf];
    }
    return pairs;
}

constexpr std::array<char, 512> hex_pairs = make_hex_pairs();

// Standard output is fully buffered through this block so that short lines do
// not each cost a write system call; a larger input buffer likewise cuts the
// number of reads.
constexpr std::size_t output_buffer_bytes = std::size_t{1} << 18;
constexpr std::size_t input_buffer_bytes = std::size_t{1} << 16;
char stdout_buffer[output_buffer_bytes];
char stdin_buffer[input_buffer_bytes];

int fail(const char *message) {
    std::fputs(message, stderr);
    return EXIT_FAILURE;
}

// Writes the hexadecimal form of line[0, count) to out, followed by a zero
// byte. out must hold at least 2 * count + 1 bytes.
void encode(const unsigned char *line, std::size_t count, char *out) {
    for (std::size_t i = 0; i < count; ++i) {
        std::memcpy(out + 2 * i, &hex_pairs[2 * std::size_t{line[i]}], 2);
    }
    out[2 * count] = '\0';
}

}  // namespace

int main(int argc, char **argv) {
    if (argc > 1) {
        std::fprintf(stderr, "Usage: %s\n", argv[0]);
        return EXIT_FAILURE;
    }

    std::setvbuf(stdin, stdin_buffer, _IOFBF, sizeof stdin_buffer);
    std::setvbuf(stdout, stdout_buffer, _IOFBF, sizeof stdout_buffer);

    char *line = nullptr;      // grown by getline, never shrunk
    std::size_t capacity = 0;  // bytes allocated for line
    char *out = nullptr;       // hexadecimal text of the current line
    std::size_t out_size = 2;  // size of out; only ever doubles
    // An error ends the program with both buffers released, like the normal
    // end does (no leak left for a leak checker to report).
    const auto fail_and_release = [&](const char *message) {
        std::free(line);
        std::free(out);
        return fail(message);
    };

    for (;;) {
        const ssize_t length = getline(&line, &capacity, stdin);
        if (length <= 0) break;

        // Keep the output buffer at least twice the line buffer's capacity,
        // which always leaves room for two digits per byte and the zero byte.
        // It grows by doubling, one reallocation per step, and never shrinks.
        while (out_size < 2 * capacity) {
            out_size *= 2;
            char *grown = static_cast<char *>(std::realloc(out, out_size));
            if (grown == nullptr) {
                std::free(out);
                out = nullptr;
                break;
            }
            out = grown;
        }
        if (out == nullptr) return fail_and_release("memory error\n");

        // The last byte of the line is left out; the growth rule above means
        // the size bound never cuts a line short.
        std::size_t count = static_cast<std::size_t>(length) - 1;
        if (count > (out_size - 1) / 2) count = (out_size - 1) / 2;
        encode(reinterpret_cast<const unsigned char *>(line), count, out);

        if (std::puts(out) == EOF) return fail_and_release("write error\n");
    }

    if (std::ferror(stdin)) return fail_and_release("read error\n");
    // getline also stops when it cannot grow its buffer for a long line; it
    // then marks neither end of input nor an error, and the rest of the input
    // would be lost silently.
    if (!std::feof(stdin)) return fail_and_release("memory error\n");

    std::free(line);
    std::free(out);
    // Output still sitting in the buffer is written here; a failure to write
    // it (a full device, for example) is as much a write error as a failed puts.
    if (std::fflush(stdout) != 0 || std::fclose(stdout) != 0) return fail("write error\n");
    return EXIT_SUCCESS;
}
