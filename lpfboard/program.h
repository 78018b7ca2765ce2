// The name lpfboard gives itself on every line it says.
#pragma once

constexpr char PROGRAM[] = "lpfboard";
