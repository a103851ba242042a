// The event callbacks of the message panel, the libraries, the sample, filter
// and melody pages, MIDI mapping and the browser tabs, into the interface's
// callback slots; and the services these handlers give their neighbours.
#include "app/documents/doc_hooks.h"
#include "engine/module.h"
#include "ui/build/callbacks.h"
#include "ui/build/frame.h"
#include "ui/panels/browser_tabs.h"
#include "ui/panels/filter_panel.h"
#include "ui/panels/install.h"
#include "ui/panels/libraries.h"
#include "ui/panels/melody_panel.h"
#include "ui/panels/messages_panel.h"
#include "ui/panels/midi_mapping.h"
#include "ui/panels/panel_common.h"
#include "ui/panels/sample_panel.h"

namespace Tarvelo {

namespace {

constexpr int32_t kTypeConvolutiveFilter = 17;

// The list that shows a module type's library entries publishes its text.
void PublishLibraryList(int32_t moduleType, int64_t flags) {
  int32_t slot = -1;
  if (moduleType == kTypeSample) slot = kUiWLIST;
  if (moduleType == kTypeSequencer || moduleType == kTypeMelodyGenerator) slot = kUiMLIST;
  if (moduleType == kTypeConvolutiveFilter) slot = kUiFLIST;
  if (slot >= 0) PublishText(SlotId(slot), flags);
}

int32_t CurrentMidiMap() { return SelectedMidiMap.Load(); }

}  // namespace

void InstallPanelHandlersB() {
  Cb.OnMessageTab = OnMessageTab;
  Cb.OnSystemMessageList = OnSystemMessageList;
  Cb.OnActionHistoryList = OnActionHistoryList;

  Cb.OnLibraryTab = OnLibraryTab;
  Cb.OnModuleCatalogList = OnModuleCatalogList;
  Cb.OnCreatedModuleList = OnCreatedModuleList;
  Cb.OnSampleChannels = OnSampleChannels;
  Cb.OnSampleLibraryList = OnSampleLibraryList;
  Cb.OnSampleList = OnSampleList;

  // REC starts with the Sample module's recording; the module page binds the
  // Sequencer's or the Melody Generator's by the type it shows.
  Cb.OnSampleRecord = OnSampleRecord;
  Cb.OnSampleSet = OnSampleSet;
  Cb.OnSampleSave = OnSampleSave;
  Cb.OnSampleUnload = OnSampleUnload;

  Cb.OnFilterList = OnFilterList;
  Cb.OnFilterGraph = OnFilterGraph;
  Cb.OnFilterWindowFunction = OnFilterWindowFunction;
  Cb.OnFilterHighPass = OnFilterHighPass;
  Cb.OnFilterCreate = OnFilterCreate;
  Cb.OnFilterUnload = OnFilterUnload;
  Cb.OnFilterSet = OnFilterSet;
  Cb.OnFilterWindowSize = OnFilterWindowSize;
  Cb.OnFilterLobeSize = OnFilterLobeSize;

  Cb.OnMelodyList = OnMelodyList;
  Cb.OnMelodySave = OnMelodySave;
  Cb.OnMelodyUnload = OnMelodyUnload;
  Cb.OnMelodySet = OnMelodySet;
  Cb.OnSequencerRecord = OnSequencerRecord;
  Cb.OnMelodyGeneratorRecord = OnMelodyGeneratorRecord;

  Cb.OnMidiMapAny = OnMidiMapAny;
  Cb.OnMidiMapParameter = OnMidiMapParameter;
  Cb.OnMidiMapModuleParameter = OnMidiMapModuleParameter;
  Cb.OnMidiMapMin = OnMidiMapMin;
  Cb.OnMidiMapMax = OnMidiMapMax;
  Cb.OnMidiMapResolution = OnMidiMapResolution;
  Cb.OnMidiControlChannel = OnMidiControlChannel;
  Cb.OnMidiControllerType = OnMidiControllerType;
  Cb.OnMidiDeviceMapList = OnMidiDeviceMapList;
  Cb.OnMidiControlList = OnMidiControlList;

  Cb.OnBrowserTab = OnBrowserTab;
  Cb.OnFileList = OnFileList;
  Cb.OnBrowserUp = OnBrowserUp;
  Cb.OnBrowserHome = OnBrowserHome;
  Cb.OnBrowserRefresh = OnBrowserRefresh;
  Cb.OnBrowserDrives = OnBrowserDrives;

  Panel.SelectedMidiMap = CurrentMidiMap;
  DocumentUi.PublishLibraryList = PublishLibraryList;
  DocumentUi.PublishSampleLibrary = [] { PublishText(SlotId(kUiSAM_LIBRARY), -1); };
}

}  // namespace Tarvelo
