#include "platform/nkf/nkf.h"
