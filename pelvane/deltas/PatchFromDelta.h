// The zstd patch-from delta (method 2): the target as one zstd frame whose
// window reaches back into the source, given to both sides as a prefix.
// The applier maps the source and decodes into the mapped target with a
// stable output buffer, so that neither side is copied into memory and no
// window buffer is allocated. Internal to the layer.
#pragma once

#include "pelvane/deltas/CodecStatus.h"
#include "pelvane/deltas/SuffixDelta.h"
#include "pelvane/deltas/TargetWriter.h"

#include <atomic>
#include <string>

namespace pelvane::deltas
{
CodecStatus makePatchFromPayload(Bytes source, Bytes target, int level, std::string& out,
                                 int workers = 0);

CodecStatus applyPatchFromPayload(Bytes source, Bytes payload, TargetWriter& out,
                                  const std::atomic<bool>* cancel);
} // namespace pelvane::deltas
