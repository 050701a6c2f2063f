#include "platform/run_loop.hpp"
