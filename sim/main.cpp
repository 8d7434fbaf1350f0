#include "record.h"
#include "sim.h"

int main(int argc, char** argv) {
  sim::Options options;
  int status = 0;
  if (!sim::parse_options(argc, argv, options, status)) return status;
  switch (options.mode) {
    case sim::Options::Mode::interactive:
      return sim::run_interactive(options);
    case sim::Options::Mode::pty:
      return sim::run_pty(options);
    case sim::Options::Mode::control:
      return sim::run_control(options);
    case sim::Options::Mode::replay:
      return sim::run_replay(options);
    default:
      return sim::run_batch_stdio(options);
  }
}
