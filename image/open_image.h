#pragma once
// The Open command in the product: the open-file dialog, the image's checks
// and the main panel's image fields. Windows build only.
#include <functional>

#include "image/image.h"
#include "toolkit/handlers.h"
#include "toolkit/services.h"

// What the command needs, given once by the main window before it runs.
struct ImageServices {
  WindowServices window;
  // The panel's fields: version, date code, size, the path, and Upgrade.
  WindowHandle version = nullptr, date_code = nullptr, file_size = nullptr, file_name = nullptr;
  WindowHandle upgrade_button = nullptr;
  std::function<void()> opened;  // after each Open: Upgrade follows the ticks again
};
void register_image_services(const ImageServices& services);

int open_image(WindowHandle, HandlerArg, HandlerArg, HandlerArg, HandlerArg);
// The image the last Open accepted (path, version, size, digest).
const OpenedImage& opened_image();
