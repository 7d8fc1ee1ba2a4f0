// Writes a builder image to a file: `make_image PATH [metadata]`. Used to make the sample
// image and for trying the builder's images with other readers.
#include <cstring>

#include "support/image_builder.h"

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  tarnwick::testing::BuildOptions options;
  if (argc > 2 && std::strcmp(argv[2], "metadata") == 0) {
    options.metadata = true;
    options.label = "Sample Disc";
    options.sectors = 280;
  }
  tarnwick::testing::write_file(argv[1], tarnwick::testing::build_image(options));
  return 0;
}
