// The webhook's events and its sender.
#include <gtest/gtest.h>
