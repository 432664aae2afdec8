// The library's entry points.
#pragma once

// Called by the host on its GUI thread before any other use of the engine: creates the engine
// context, discovers the plug-ins and makes the calling thread the GUI thread of the dispatcher
// (zel/gui_dispatcher.h). `host_window` is the host's main X11 window (a Window id cast to a
// pointer), or null when the engine runs without one.
extern "C" void zelInit(void* host_window);
// Called by the host on its GUI thread after every engine thread has stopped: detaches the
// dispatcher, releases the media-stream and image-decoder plug-ins and destroys the context.
extern "C" void zelUninit();
