// A writer whose rows reach the wrapped writer from a thread of its own.
#pragma once
#include "stitcher/pipeline/writeimage.h"

// Up to 5 rows wait between the caller and the thread; the caller waits
// (short sleeps) when all 5 are pending. Closing it lets the thread write what
// is pending, close iw and end.
image_writer *thread_writer(image_writer *iw);
