// The reference a peer program is given: an IOR or corbaloc text as it is,
// anything else the name of a file whose first line holds one.
#ifndef OMNI_REFERENCE_H
#define OMNI_REFERENCE_H

#include <cstring>
#include <fstream>
#include <string>

inline std::string reference_text(char const *arg)
{
    if (std::strncmp(arg, "IOR:", 4) == 0 || std::strncmp(arg, "corbaloc:", 9) == 0)
        return arg;
    std::ifstream in(arg);
    std::string line;
    std::getline(in, line);
    return line;
}

#endif
