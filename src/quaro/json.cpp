#include "quaro/json.hpp"
