// Fuzz target: the line reader on arbitrary bytes. The first byte chooses the size of
// the reads the reader gets (1 to 255 bytes, but no more than 512 reads in all; 255:
// everything at once), so that line ends, CRs and the 4096-byte cut fall across read
// boundaries; the other bytes are the input. The lines read must be exactly those of the line rules written plainly below,
// and the end of input, once reached, stays reached.
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string_view>
#include <thread>
#include <vector>

#include "fuzz/check.h"
#include "runtime/console.h"

namespace {

constexpr size_t kMaxLine = rt::LineReader::kMaxLine;

// A line ends at LF, and a CR just before the LF goes with it; a last line without LF
// is still a line; only the first kMaxLine bytes of a line are kept.
std::vector<std::string_view> expected_lines(std::string_view input) {
  std::vector<std::string_view> lines;
  while (!input.empty()) {
    const size_t lf = input.find('\n');
    std::string_view line = input.substr(0, lf);
    if (lf != std::string_view::npos && !line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line.substr(0, kMaxLine));
    input.remove_prefix(lf == std::string_view::npos ? input.size() : lf + 1);
  }
  return lines;
}

// Sends input in packets of packet bytes: each read of a packet socket returns one
// packet, so the reader sees exactly these boundaries. A packet is never empty (an
// empty one would read as the end of input).
void send_in_packets(int fd, std::string_view input, size_t packet) {
  while (!input.empty()) {
    const size_t size = input.size() < packet ? input.size() : packet;
    const ssize_t sent = send(fd, input.data(), size, MSG_NOSIGNAL);
    if (sent <= 0) break;
    input.remove_prefix(static_cast<size_t>(sent));
  }
  close(fd);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);
  const size_t packet = data[0] == 255 ? 65536 : std::max<size_t>(1 + data[0], input.size() / 512 + 1);

  int fds[2];
  FUZZ_CHECK(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds) == 0);
  std::thread writer(send_in_packets, fds[1], input, packet);
  auto reader = std::make_unique<rt::LineReader>(fds[0], nullptr);
  const std::vector<std::string_view> expected = expected_lines(input);
  size_t count = 0;
  std::string_view line;
  while (reader->next(&line)) {
    FUZZ_CHECK(line.size() <= kMaxLine);
    FUZZ_CHECK(count < expected.size());
    FUZZ_CHECK(line == expected[count]);
    ++count;
  }
  FUZZ_CHECK(count == expected.size());
  FUZZ_CHECK(!reader->next(&line));  // the end stays the end
  close(fds[0]);
  writer.join();
  return 0;
}
