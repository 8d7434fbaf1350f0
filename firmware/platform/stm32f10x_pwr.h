// Power control: reset of the power block and write access to the backup domain.
#pragma once
#include "stm32f10x.h"

void PWR_DeInit(void);
// Lifts the backup domain's write protection (the backup registers and RTC).
void PWR_BackupAccessCmd(FunctionalState NewState);
