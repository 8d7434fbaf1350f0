#pragma once

typedef void (*pdTASK_CODE)(void*);

#define pdTRUE (1)
#define pdFALSE (0)
#define pdPASS (1)
#define pdFAIL (0)
#define errQUEUE_EMPTY (0)
#define errQUEUE_FULL (0)
#define errCOULD_NOT_ALLOCATE_REQUIRED_MEMORY (-1)
