// tsrecon-tile: cuts a tsrecon job into blocks of whole image lines, each a
// working directory of its own that can run on any machine, and merges the
// products of the finished blocks into the products of the whole cube, byte
// for byte what one run over the whole cube writes.
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "runtime/env.h"
#include "tools/tile/tile.h"

namespace {

constexpr const char* kProgram = "tsrecon-tile";

void usage(std::ostream& out) {
  out << "usage: tsrecon-tile split N [--dir D] [--blocks B] [--force]\n"
         "       tsrecon-tile merge [--dir D] [--blocks B]\n"
         "       tsrecon-tile products|inputs [--dir D] [--blocks B]\n"
         "\n"
         "split  cuts cntl.dat, data.bsq (and mask.bsq when MASK = 1) of the working\n"
         "       directory D (default .) into N blocks of whole lines (at most one\n"
         "       block per line), each a working directory B/block-0001, ... for\n"
         "       tsrecon, and writes B/manifest.txt. B defaults to D/blocks; an\n"
         "       existing B is refused unless --force replaces an earlier split.\n"
         "merge  copies the products of every block (p.bsq, i.bsq when INTP = 1,\n"
         "       f.bsq, order.dat, aic.dat, min.dat, max.dat) to their places in\n"
         "       D, in place like tsrecon writes (an existing longer file keeps its\n"
         "       tail). Refuses, writing nothing, while a block has not finished.\n"
         "products  lists the products each block's run writes, one name a line\n"
         "inputs    lists the inputs each block's run reads (for scripts that move\n"
         "       the blocks' files).\n";
}

int usage_error(const std::string& what) {
  std::cerr << kProgram << ": " << what << "\n";
  usage(std::cerr);
  return 2;
}

void print(std::ostream& to, const std::vector<std::string>& lines) {
  for (const std::string& line : lines) to << line << "\n";
}

// Ends with `status`: its line on standard error unless it is ok.
int finish(const tsr::Status& status) {
  if (!status.is_ok()) std::cerr << status.line(kProgram) << "\n";
  return status.exit_status();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage_error("no command given");
  const std::string command = argv[1];
  if (command == "--help" || command == "-h" || command == "help") {
    usage(std::cout);
    return 0;
  }
  if (command != "split" && command != "merge" && command != "products" && command != "inputs") {
    return usage_error("unknown command " + command);
  }

  std::string dir = ".";
  std::string blocks;
  bool force = false;
  long requested = -1;
  for (int i = 2; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--dir" || a == "--blocks") {
      if (i + 1 >= argc) return usage_error(a + " needs a value");
      (a == "--dir" ? dir : blocks) = argv[++i];
    } else if (a == "--force" && command == "split") {
      force = true;
    } else if (command == "split" && requested < 0 && !a.empty() && a[0] != '-') {
      char* end = nullptr;
      requested = std::strtol(a.c_str(), &end, 10);
      if (*end != '\0' || requested < 1 || requested > 1000000) {
        return usage_error("the number of blocks must be a whole number from 1 to 1000000, not " + a);
      }
    } else {
      return usage_error("unexpected argument " + a);
    }
  }

  const std::unique_ptr<tsr::Env> env = tsr::new_posix_env();
  if (command == "split") {
    if (requested < 0) return usage_error("split needs the number of blocks");
    tsr::tile::SplitOptions options;
    options.dir = dir;
    options.blocks_dir = blocks;
    options.requested = static_cast<int32_t>(requested);
    options.force = force;
    tsr::tile::SplitReport report;
    const tsr::Status status = tsr::tile::split(*env, options, &report);
    print(std::cout, tsr::tile::split_lines(report));
    return finish(status);
  }
  tsr::tile::MergeOptions options;
  options.dir = dir;
  options.blocks_dir = blocks;
  if (command == "products" || command == "inputs") {
    std::vector<std::string> names;
    const tsr::Status status = tsr::tile::list_files(
        *env, options, command == "inputs" ? tsr::tile::FileSet::kInputs : tsr::tile::FileSet::kProducts, &names);
    print(std::cout, names);
    return finish(status);
  }
  tsr::tile::MergeReport report;
  const tsr::Status status = tsr::tile::merge(*env, options, &report);
  print(std::cout, tsr::tile::merge_lines(report));
  for (const std::string& line : tsr::tile::unfinished_lines(report)) std::cerr << kProgram << ": " << line << "\n";
  return finish(status);
}
