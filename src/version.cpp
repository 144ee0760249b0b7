#include "version.h"

const char ntp_quorix_version[] = "0.2.6";
