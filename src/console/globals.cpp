#include "console/globals.h"

std::atomic<int32_t> dev_type{0};
std::atomic<int32_t> connected{0};
int32_t id_conn = -1;
char serial_no[R40_SERIAL_BUF] = {};
