#pragma once
// The per-item rules of the DA 3.0 reads and writes, the same for the
// synchronous and the asynchronous calls: where a read by age comes from,
// which value-quality-timestamp records are no write at all, and the rate an
// item can be sampled at.
#include <windows.h>

#include <optional>

#include "OpcDa.h"

// OPC_DS_CACHE when a cache no older than `maxAge` ms exists, else
// OPC_DS_DEVICE. 0 always reads the device; 0xFFFFFFFF (and 0x7FFFFFFF,
// which clients send for "any age") takes any cache there is.
OPCDATASOURCE SourceForMaxAge(DWORD maxAge, std::optional<ULONGLONG> cacheAge) noexcept;

// E_INVALIDARG for a record that cannot be written: no value (a write always
// carries one), a quality beyond the low byte, or a timestamp that is no
// time (its high bit set: before 1601 as a signed count). Else S_OK.
HRESULT CheckVqt(const OPCITEMVQT& vqt) noexcept;

// The sampling rate kept for `requested` ms: the fastest the data thread
// samples at (also what 0 asks for) unless slower.
constexpr DWORD kFastestSamplingMs = 10;
DWORD ReviseSamplingRate(DWORD requested) noexcept;
