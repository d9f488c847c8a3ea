// The runtime library as the programs see it: fields, console, arithmetic, frame and usage.
#pragma once

#include "runtime/arith.h"
#include "runtime/console.h"
#include "runtime/field.h"
#include "runtime/frame.h"
#include "runtime/usage.h"
