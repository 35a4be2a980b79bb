// The benchmark's modules: every channel busy on every row.
#pragma once
#include "tools/modbuilder.h"

mb_module bench_module(const char* signature);
