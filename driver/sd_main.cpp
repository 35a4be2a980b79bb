#include "driver/sd_main.h"

int32_t (*sd_init)(int32_t, int32_t) = nullptr;
void (*sd_start)() = nullptr;
void (*sd_stop)() = nullptr;
void (*sd_shutdown)() = nullptr;
void (*sd_secondhand)() = nullptr;
void (*sd_hand)() = nullptr;
int32_t (*sd_setmainvolume)(int32_t) = nullptr;
void (*sd_setactivechannels)(int32_t) = nullptr;
int32_t (*sd_getsample)(int32_t, int8_t*, uint32_t, uint32_t, uint32_t, int32_t) = nullptr;
mix_channel* (*sd_selectchannel)(int32_t) = nullptr;
void (*sd_setsample)(int32_t) = nullptr;
void (*sd_setvolume)(int32_t) = nullptr;
void (*sd_setpanning)(int32_t) = nullptr;
void (*sd_setamigaperiod)(int32_t) = nullptr;
void (*sd_setoffset)(int32_t) = nullptr;
void (*sd_resetvoices)() = nullptr;
