# Included by ui/CMakeLists.txt on Windows only.

# The Win32 windows of pellory.exe.
add_library(pellory_windows STATIC
  uForms_win32.cpp
  uConfirm_win32.cpp
  uMain_win32.cpp
  uProtocol_win32.cpp
  uMessage_win32.cpp
  uInfo_win32.cpp
  uRunReport_win32.cpp
  uStation_win32.cpp
  uStationLayout_win32.cpp
  uStationRows_win32.cpp
  uStationActions_win32.cpp
  uStationSpeedUp_win32.cpp
  uStationSetup_win32.cpp)
target_compile_definitions(pellory_windows PUBLIC UNICODE _UNICODE _WIN32_WINNT=0x0A00 WINVER=0x0A00 NOMINMAX)
# The station window: its core, the simulated ports' names, the documents folder and the folder dialog.
target_link_libraries(pellory_windows PUBLIC pellory_runctl pellory_stationui pellory_sim comctl32 comdlg32 gdi32
  user32 shell32 ole32 uuid)
# Never compiled as one unit (the packages' unity build): each window keeps its own layout constants.
set_target_properties(pellory_windows PROPERTIES UNITY_BUILD OFF)
