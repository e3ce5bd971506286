// The installed qorvane tool. It always uses the machine-wide access
// counter; nothing on the command line or in the environment changes that.
#include "tool.h"

int main(int argc, char** argv)
{
    return RunTool(argc, argv);
}
