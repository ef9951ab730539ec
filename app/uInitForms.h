#pragma once

// Creates the secondary windows, in this order: the firmware overview, the report window (placed under
// the main window, which must exist) and the information box.
void InitForms();
