#include "tesk_frame.h"

int main(int argc, char** argv) { return frameMain(argc, argv); }
