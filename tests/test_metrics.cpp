// The metrics file for Prometheus' textfile collectors.
#include <gtest/gtest.h>
