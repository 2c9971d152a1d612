/*
 * Process entry of a node.
 */
#include "frw/yw_frw.h"

int main(int argc, char **argv)
{
    return YW_frw_main(argc, argv);
}
