// The library's entry points.
#pragma once

// Called by the host on its GUI thread before any other use of the engine: creates the engine
// context, discovers the plug-ins and makes the calling thread the GUI thread of the dispatcher
// (zel/gui_dispatcher.h). `host_window` is the host's main X11 window (a Window id cast to a
// pointer), or null when the engine runs without one.
extern "C" void zelInit(void* host_window);
// Called by the host on its GUI thread when it is done with the engine: detaches the dispatcher
// (queued work is withdrawn), stops every render manager's thread and waits until it is gone
// (one only killed, or one whose object its own thread destroyed, included), lets a render
// manager that lives on drop its device (its window and event thread go with it), stops the
// clipboard's thread, releases the media-stream and image-decoder plug-ins and destroys the
// context. The host may return from main as soon as it returns.
extern "C" void zelUninit();
