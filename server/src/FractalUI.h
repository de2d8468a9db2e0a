// The server's display adapter over the g2 graphics library: it opens the server's one window,
// paints finished images and polls the mouse. InitUI, DisplayFractal and getMouseAction are
// declared with the remote interface (interface/FractalNetObj.h); getPixel and
// QueuedDisplayEvents are the adapter's own.
//
// The window shows an image transposed: InitUI(width, height) opens a window `height` pixels
// wide and `width` pixels tall, and element (a, b) of an image lands in window row a (from the
// top) and window column b. Each count is handed to g2 as a pen number: counts 0..26 are the
// window's 27 palette colours (0 white, 1 black, 2..26 the three-level RGB cube without black
// and white); any other count keeps the colour selected before it. Mouse positions come back in
// g2 coordinates: x = window column, y = window height - 1 - window row.
//
// Ownership: the adapter owns the window from InitUI until the process ends. Each MouseInfo
// that getMouseAction returns belongs to its caller. Images stay the caller's.
//
// Thread safety: none. The adapter and the g2 device are used by one thread at a time; the
// server calls it only while holding its lock.
#pragma once

#include <cstdint>

#include "interface/FractalNetObj.h"

namespace FractalNetObj {

// The count of element (x, y) of `image` (position x * height + y of its block), or -1 when x
// is outside 0..width-1, y is outside 0..height-1, or the image has no such element. Does not
// need the window.
int32_t getPixel(const ImageStar& image, int32_t x, int32_t y);

// How many events from the X server wait unread on g2's connection; -1 before InitUI, or when
// the adapter could not find that connection. The adapter drops them before each painting and
// after each pointer query, so they never pile up.
int QueuedDisplayEvents();

}  // namespace FractalNetObj
