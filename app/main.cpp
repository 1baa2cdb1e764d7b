#include "app/run_control.h"

int main(int argc, char** argv) { return DstPatchMain(argc, argv); }
