// The live panel that lpfboard draws on a terminal.
#pragma once

#include "boardFile.h"

void panelOpen();
void panelDraw(const BoardFile &board);
void panelClose();
