#pragma once

namespace vxpoll {

// The whole program: the command line, the output set-up, the run.
int RunMain(int argc, char** argv);

}  // namespace vxpoll
