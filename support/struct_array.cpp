#include "support/struct_array.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

// Constant-initialised, so they are in place before any static array can grow.
constinit CStructArray::MallocFn CStructArray::sMalloc = std::malloc;
constinit CStructArray::ReallocFn CStructArray::sRealloc = std::realloc;

CStructArray::CStructArray(long elemSize, long quantum)
    : nElemSize(static_cast<int32_t>(elemSize)),
      nQuantum(static_cast<int32_t>(quantum < 1 ? 1 : quantum)),
      nAllocated(0),
      nCount(0),
      pData(nullptr) {}

CStructArray::~CStructArray() { Clear(); }

int CStructArray::Realloc(long count) {
  if (count == nCount) return 1;
  if (count < 0) return 0;
  if (count == 0) {
    std::free(pData);
    pData = nullptr;
    nCount = 0;
    nAllocated = 0;
    return 1;
  }

  const long need = nQuantum * ((count + nQuantum - 1) / nQuantum);
  if (need > INT32_MAX) return 0;
  if (need != nAllocated) {
    const std::size_t bytes = static_cast<std::size_t>(need) * static_cast<std::size_t>(nElemSize);
    // realloc keeps the leading contents; on failure the old block stays valid and ours.
    void* block = pData == nullptr ? sMalloc(bytes) : sRealloc(pData, bytes);
    if (block == nullptr) return 0;
    pData = static_cast<unsigned char*>(block);
    nAllocated = static_cast<int32_t>(need);
  }
  nCount = static_cast<int32_t>(count);
  return 1;
}

int CStructArray::Insert(long index, long count, ArrayElem* src) {
  if (count <= 0) return 1;

  const std::size_t elem = static_cast<std::size_t>(nElemSize);
  const std::size_t tail = static_cast<std::size_t>(nCount - index) * elem;
  if (!Realloc(nCount + count)) return 0;

  unsigned char* at = pData + static_cast<std::size_t>(index) * elem;
  // Records are trivially relocatable by contract (see ArrayElem), so they move and copy as
  // plain bytes, vtable pointer included. The source is read through a byte pointer on purpose:
  // a typed pointer to a class with a vtable would make the compiler object to the raw copy.
  if (tail > 0) std::memmove(at + static_cast<std::size_t>(count) * elem, at, tail);
  std::memcpy(at, reinterpret_cast<const unsigned char*>(src), static_cast<std::size_t>(count) * elem);

  // The sources give up what their copies now own; the copies in the array are left alone.
  unsigned char* source = reinterpret_cast<unsigned char*>(src);
  for (long i = 0; i < count; ++i) {
    reinterpret_cast<ArrayElem*>(source + static_cast<std::size_t>(i) * elem)->Spoil();
  }
  return 1;
}

int CStructArray::Delete(long index, long count) {
  if (count <= 0) return 1;

  // Each record releases what it owns while it still sits where it was stored.
  for (long i = index; i < index + count; ++i) ElemAt(i)->Clear();

  const long remaining = nCount - count;
  if (index < remaining) {
    const std::size_t elem = static_cast<std::size_t>(nElemSize);
    unsigned char* at = pData + static_cast<std::size_t>(index) * elem;
    std::memmove(at, at + static_cast<std::size_t>(count) * elem,
                 static_cast<std::size_t>(remaining - index) * elem);
  }

  if (!Realloc(remaining)) {
    // Only a shrink can fail here. The removed records have already been cleared, and the
    // bytes past `remaining` are stale copies of live ones: keep the larger block but never
    // count them again, or they would be cleared twice.
    nCount = static_cast<int32_t>(remaining);
    return 0;
  }
  return 1;
}

void CStructArray::Clear() {
  // Delete(0, nCount) ends in Realloc(0), which frees the storage and cannot fail.
  if (nCount != 0) Delete(0, nCount);
}

bool CStructArray::HaveData() { return nCount != 0; }
