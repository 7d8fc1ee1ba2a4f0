// An image written to a scratch file and opened in a session, for tests of the pass's parts.
#pragma once

#include <string>

#include "image/session.h"
#include "support/image_builder.h"

namespace tarnwick::testing {

class SessionOnImage {
 public:
  // Writes `image` to a scratch file and opens it; `label` non-null switches to write mode.
  explicit SessionOnImage(const Image& image, const char* label = nullptr,
                          RecognitionFlags recognition = kNsr03Seen);
  ~SessionOnImage();
  SessionOnImage(const SessionOnImage&) = delete;
  SessionOnImage& operator=(const SessionOnImage&) = delete;

  ImageSession session;
  std::string path;
  Image contents() const { return read_file(path); }

 private:
  TempDir dir_;
};

// A descriptor with tag identifier `id`, Tag Location `sector` and a CRC over `crc_length`
// bytes, its body zero but for what the caller sets before calling reseal.
void put_descriptor(Image& image, std::uint32_t sector, std::uint16_t id,
                    std::uint16_t crc_length = 496);

}  // namespace tarnwick::testing
