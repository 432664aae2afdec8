// The X11 window capture behind WindowCapture (zel/controls/window_capture.h).
//
// Implements:
//  [x] Composite: the window is redirected manually (nothing of it reaches the screen, so no
//      hole in the device window and no compositor or window manager is needed) and parked
//      off the screen;
//  [x] XFIXES: an empty input shape, so the real pointer never lands on it;
//  [x] DAMAGE: a thread of its own, on its own connection, copies the window when it changed;
//  [x] the window's pixmap named with XCompositeNameWindowPixmap, named again after a map or a
//      resize, read with XShmGetImage (XGetImage where shared memory is unavailable);
//  [x] X errors trapped on the capture's connections: a window destroyed or unmapped mid-capture
//      stops the capture and the last frame stays;
//  [x] input sent as synthetic events (XSendEvent) on a second connection;
//  [x] all of it undone when the capture ends (a window still there gets its shape, position
//      and redirection back).
#pragma once
#include "zel/controls/window_capture.h"
