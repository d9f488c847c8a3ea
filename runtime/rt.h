// The runtime library as the programs see it: fields, console, arithmetic and frame.
#pragma once

#include "runtime/arith.h"
#include "runtime/console.h"
#include "runtime/field.h"
#include "runtime/frame.h"
