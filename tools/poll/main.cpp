#include "cli.h"

int main(int argc, char** argv) { return vxpoll::RunMain(argc, argv); }
