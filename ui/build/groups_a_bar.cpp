#include "ui/build/frame.h"
namespace Tarvelo {
int32_t BuildRootAndSystemBar(BuildContext&) { return 0; }
int32_t BuildDialogBox(BuildContext&) { return 0; }
int32_t BuildMainPanel(BuildContext&) { return 0; }
int32_t BuildParameterPage(BuildContext&) { return 0; }
int32_t BuildModulePages(BuildContext&) { return 0; }
int32_t BuildDevicesAndScalesPages(BuildContext&) { return 0; }
int32_t BuildBrowserPane(BuildContext&) { return 0; }
int32_t BuildStatusBar(BuildContext&) { return 0; }
}  // namespace Tarvelo
