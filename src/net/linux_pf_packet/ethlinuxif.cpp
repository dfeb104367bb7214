#include "ethlinuxif.h"

DEFINE_string(saveinput, "", "Save input stream to file");
