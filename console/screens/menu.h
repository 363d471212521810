// The main menu (SCREEN_MENU): the seven pages and the exit, a description
// of the focused entry, and a warning while no unit is reached.
#pragma once

void menu_build(int col, int row, int width, int height);
