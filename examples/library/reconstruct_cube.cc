// Reconstructs the cube of a tsrecon job in memory with the library and
// prints how many pixels got a model and their mean fitted value.
//
//   reconstruct_cube JOB_DIR
#include <tsrecon/tsrecon.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <vector>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: reconstruct_cube JOB_DIR\n");
    return 2;
  }
  const std::string dir = argv[1];
  tsrecon::Settings settings;
  tsrecon::CubeSize size;
  tsrecon::Status status = tsrecon::read_control_file(dir, settings, size);
  if (!status.ok()) {
    std::fprintf(stderr, "%s\n", status.line.c_str());
    return 1;
  }
  // data.bsq: NB planes of NL x NS 16-bit values, little-endian like this machine.
  std::ifstream in(dir + "/data.bsq", std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const size_t pixels = static_cast<size_t>(size.nl) * static_cast<size_t>(size.ns);
  std::vector<int16_t> data(static_cast<size_t>(size.nb) * pixels);
  if (bytes.size() < data.size() * 2) {
    std::fprintf(stderr, "data.bsq is shorter than cntl.dat says\n");
    return 1;
  }
  std::copy_n(bytes.data(), data.size() * 2, reinterpret_cast<char*>(data.data()));

  std::vector<int16_t> fitted(data.size());
  std::vector<float> params(static_cast<size_t>(settings.parameter_count()) * pixels);
  std::vector<int8_t> order(pixels);
  tsrecon::Products products;
  products.fitted = fitted.data();
  products.params = params.data();
  products.order = order.data();
  settings.mask = 0;  // this example reads no mask cube
  status = tsrecon::reconstruct(settings, {data.data(), nullptr, size}, products);
  if (!status.ok()) {
    std::fprintf(stderr, "%s\n", status.line.c_str());
    return 1;
  }
  size_t modelled = 0;
  double sum = 0.0;
  for (size_t k = 0; k < pixels; ++k) {
    if (order[k] <= 1) continue;
    ++modelled;
    for (int32_t b = 0; b < size.nb; ++b) sum += fitted[static_cast<size_t>(b) * pixels + k] / 4096.0;
  }
  std::printf("%zu of %zu pixels have a model; mean fitted value %.4f\n", modelled, pixels,
              modelled ? sum / (static_cast<double>(modelled) * size.nb) : 0.0);
  return 0;
}
