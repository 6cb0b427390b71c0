/*
 * Demo.h - the scenario that `brisum-sim` runs when given no arguments.
 */
#pragma once

namespace sim {

const char *DemoScript();

} // namespace sim
