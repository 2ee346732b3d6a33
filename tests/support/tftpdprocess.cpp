#include "tftpdprocess.h"
