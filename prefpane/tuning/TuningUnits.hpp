// The tuning levels the settings store, in the units a person thinks in. The
// agent takes a click timing level as level x 25 ms, and turns the movement
// threshold level into a distance on the screen (a higher level is a shorter
// movement) scaled by the screen's diagonal.
#pragma once

namespace tact::tuning {

// Milliseconds of a click duration or double-click window level.
int clickMilliseconds(int level);

// The screen's width in millimetres, from its diagonal in inches and its
// shape in pixels (16:9 when the size is not known).
double screenWidthMillimetres(int inches, int widthPixels, int heightPixels);

// How far fingers move before a swipe or scroll starts, in millimetres
// across the screen: the agent's threshold (a fraction of the screen width)
// for this level and diagonal, times the screen's width.
double movementMillimetres(double level, int inches, int widthPixels, int heightPixels);

}  // namespace tact::tuning
