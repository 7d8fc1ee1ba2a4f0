#include "support/session_fixture.h"

#include <cstring>

#include "text/dstring.h"

namespace tarnwick::testing {

SessionOnImage::SessionOnImage(const Image& image, const char* label,
                               RecognitionFlags recognition) {
  path = dir_.path("image.udf");
  write_file(path, image);
  session_init(session);
  if (label != nullptr) set_new_label(session, label);
  open_image(session, path.c_str());
  session.recognition = recognition;
}

SessionOnImage::~SessionOnImage() { session_close(session); }

void put_descriptor(Image& image, std::uint32_t sector, std::uint16_t id,
                    std::uint16_t crc_length) {
  std::uint8_t* d = sector_at(image, sector);
  std::memset(d, 0, 2048);
  set_u16(image, std::size_t{sector} * 2048, id);
  set_u16(image, std::size_t{sector} * 2048 + 2, 3);
  set_u32(image, std::size_t{sector} * 2048 + 12, sector);
  set_u16(image, std::size_t{sector} * 2048 + 10, crc_length);
  reseal(image, sector);
}

}  // namespace tarnwick::testing
