// ZEL_createDevice: makes a render device by name. Plug-in devices win; the built-in OpenGL
// device answers to its own name and to "Direct3D8", so hosts written for the original engine
// keep working; "Software" is the pixman device. When EGL cannot start, the OpenGL names give
// the software device.
#include <memory>
#include <string>

#include "qar/trace.h"
#include "zel/3d/driver/gl/gl_device.h"
#include "zel/3d/driver/soft/soft_device.h"
#include "zel/context.h"
#include "zel/plugins.h"
#include "zel/render_device.h"

#if defined(__clang__)
#pragma clang diagnostic ignored "-Wreturn-type-c-linkage"
#endif

extern "C" __attribute__((visibility("default"))) std::shared_ptr<zel::RenderDevice>
ZEL_createDevice(const std::u16string& name, zel::zelContext& context) {
  if (zel::RenderDeviceFactory* factory = zel::plugins::find_device_factory(name)) {
    std::shared_ptr<zel::RenderDevice> device(factory->create());
    if (device) {
      context.device = device;
      context.env_driver = device->get_env_indep();
    }
  } else if (name == u"Direct3D8" || name == u"OpenGL" || name == u"Software") {
    // Through the class's own allocation (the host library's), as every engine object.
    std::shared_ptr<zel::RenderDevice> device;
    if (name != u"Software") {
      device.reset(new zel::gl::GLDevice());
      if (!device->init()) {
        qar::tracef("ZEL_createDevice: EGL could not start; the software device draws instead");
        device.reset();
      }
    }
    if (!device) device.reset(new zel::soft::SoftDevice());
    context.device = device;
    context.env_driver = device->get_env_indep();
  }
  return context.device;
}
