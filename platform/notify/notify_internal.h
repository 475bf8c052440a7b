// Device-interface notifications (layer-internal): Windows-style interface
// names built from udev properties, and the entry through which virtual
// devices and tests send udev-like events down the same building and
// delivery path as the udev monitor's.
#pragma once

#include <windef.h>

#include <map>
#include <string>
#include <vector>

// A device's udev properties as the monitor reports them (SUBSYSTEM,
// DEVTYPE, DEVPATH, ID_VENDOR_ID, ID_SERIAL_SHORT, PRODUCT ...). The layer
// adds what it reads from sysfs under private keys:
//   ATTR{idVendor}, ATTR{idProduct}  a USB device's attributes
//   .PCM_PLAYBACK=1, .PCM_CAPTURE=1  a sound card has playback/capture PCMs
//   .USB_DEVPATH                     a sound card's USB device
//   .AWAIT_VIDEO=1                   that USB device has a video interface
//                                    whose node does not exist yet
using udev_props = std::map<std::string, std::string>;

struct interface_name {
    std::string name;  // \\?\USB#VID_3188&PID_1000#...#{A5DCBF10-...}
    GUID class_guid;   // the class in the name's last part
};

// The interfaces a device stands for, in delivery order; empty for devices
// that stand for none (a sound card's PCM and timer nodes, say). Pure.
//   usb/usb_device   \\?\USB#VID_vvvv&PID_pppp#<serial or devpath's last element>#{A5DCBF10-...}
//   sound controlC*  \\?\SWD#MMDEVAPI#{0.0.0.00000000}.{<card id>}#{e6327cad-...} (render)
//                    \\?\SWD#MMDEVAPI#{0.0.1.00000000}.{<card id>}#{2eef81be-...} (capture)
//                    render only when the PCMs are not known
//   anything else    \\?\<SUBSYSTEM>#<DEVTYPE or DEV>#<sysname>#{<class from subsystem>}
std::vector<interface_name> notify_interface_names(const udev_props& props);

// Sends a udev-like event (action "add" or "remove"; others are dropped) to
// the registered windows as if the udev monitor had reported it: the same
// naming, removal names remembered from the arrival, holds and ordering.
// Any thread; returns at once, the records go out from the notification
// thread. Does nothing while no window is registered.
void notify_inject_udev_like(const std::string& action, const udev_props& props);

