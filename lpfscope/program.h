// The name lpfscope gives itself on every line it says.
#pragma once

constexpr char PROGRAM[] = "lpfscope";
