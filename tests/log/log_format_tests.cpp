// Tests are added here.
#include <gtest/gtest.h>
