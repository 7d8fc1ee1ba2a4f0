// Writes the sample image: `make_image PATH` (a UDF 2.50 volume with a metadata partition).
#include "support/image_builder.h"

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  tarnwick::testing::write_file(argv[1],
                                tarnwick::testing::build_image({.sectors = 280, .metadata = true}));
  return 0;
}
