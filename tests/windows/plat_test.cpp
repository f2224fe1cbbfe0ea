#include <gtest/gtest.h>
#include "wintest.h"
#include "zelmplat.h"
TEST(Placeholder, Nothing) {}
