// Exit statuses of every program of the project.
#pragma once

constexpr int EXIT_STATUS_OK = 0;
constexpr int EXIT_STATUS_FAILURE = 1;
// A command line the program does not understand.
constexpr int EXIT_STATUS_USAGE = 2;
