#pragma once
// Owning handles for libudev objects, so that every object is released on every path.

#include <memory>

#include <libudev.h>

namespace tarnvel {

struct UdevUnref {
    void operator()(udev* context) const { udev_unref(context); }
    void operator()(udev_enumerate* enumerate) const { udev_enumerate_unref(enumerate); }
    void operator()(udev_device* device) const { udev_device_unref(device); }
};

using UdevPtr = std::unique_ptr<udev, UdevUnref>;
using UdevEnumeratePtr = std::unique_ptr<udev_enumerate, UdevUnref>;
// A device's parent (udev_device_get_parent) is owned by the device and released with it: it
// never goes into one of these.
using UdevDevicePtr = std::unique_ptr<udev_device, UdevUnref>;

}  // namespace tarnvel
