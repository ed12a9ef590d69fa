#ifndef TAVOPOLICYSYNC_EXPORT_H
#define TAVOPOLICYSYNC_EXPORT_H

#define TAVOPOLICYSYNC_EXPORT __attribute__((visibility("default")))

#endif
