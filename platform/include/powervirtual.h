// Hardware-free power events, for tests and the demo. They take the path
// the real sources' events take (see RegisterPowerSettingNotification):
// the same thread, records and windows.
#pragma once

// The display goes off (0), on (1) or dimmed (2), as if its source had
// reported it: the registered windows are sent the state if it differs
// from the one they were last sent. Other values are ignored.
// Any thread; returns at once. Nothing happens while no power-setting
// registration exists.
void power_virtual_display(unsigned char state);

// The machine has woken from sleep: every top-level window of the process
// is sent PBT_APMRESUMEAUTOMATIC, as logind's PrepareForSleep(false) gives.
// Any thread; returns at once. Nothing happens while no power-setting
// registration exists.
void power_virtual_resume();
