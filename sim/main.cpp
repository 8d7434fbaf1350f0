#include "sim.h"

int main(int argc, char** argv) {
  sim::Options options;
  int status = 0;
  if (!sim::parse_options(argc, argv, options, status)) return status;
  return options.mode == sim::Options::Mode::interactive ? sim::run_interactive(options)
                                                         : sim::run_batch_stdio(options);
}
