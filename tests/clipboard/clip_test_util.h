// Helpers of the clipboard tests: pictures, PNG decoding, BMP fields and
// running xclip.
#pragma once
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace cliptest {

// Fills a picture of the given format with a pattern that uses every channel's range; rows are
// `pitch` bytes apart and the bytes past each row are filled with 0xEE.
std::vector<uint8_t> make_picture(uint32_t format, int width, int height, int pitch);
// Pixels of `png` that differ from the colour each pixel of the source picture stands for
// (as the engine's conversion reads it); -1 when it is no PNG of the picture's size.
int png_mismatches(const std::string& png, const std::vector<uint8_t>& px, uint32_t format,
                   int width, int height, int pitch);
// A little-endian field of a byte string.
uint32_t u32_at(const std::string& s, size_t at);

// Runs a shell command with a time limit, giving its standard output; false on failure.
bool run_capture(const std::string& command, std::string& out);
// Starts a command in the background with `input` on its standard input; returns its pid.
pid_t spawn_with_input(const std::vector<std::string>& argv, const std::string& input);
// Ends a process started by spawn_with_input.
void stop_process(pid_t pid);

// Starts an X server of the test's own (Xvfb picks a free display number); false when Xvfb
// is missing or does not come up.
bool start_private_xvfb(pid_t& pid, std::string& display);
// For tests that need an X display of their own: when DISPLAY is set and Xvfb is there, points
// DISPLAY at a private server for the whole test program, so that other programs using the
// shared server's clipboard at the same time cannot disturb the tests.
void use_private_display_if_possible();

}  // namespace cliptest
