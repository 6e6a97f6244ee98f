// A growable, contiguous array of fixed-size records that it stores, moves and copies as raw
// bytes, and the base class of those records.
//
// Records stay in insertion order and are addressed by a zero-based index: record i starts at
// pData + i * nElemSize. The array does no locking of its own; whoever shares one between
// threads guards it.
#pragma once

#include <cstddef>
#include <cstdint>

// Base of every record stored in a CStructArray.
//
// Contract for a derived record type: it is trivially relocatable. Its bytes may be copied to
// another address and the copy used in place of the original, so it holds no pointer into
// itself. Its vtable pointer travels with those bytes, so the hooks the array calls are those
// of the stored record's own type.
//
// There is deliberately no virtual destructor: records are never deleted through this base,
// and the array never runs a destructor on a stored record (it calls Clear() instead). The
// destructor is protected so that nobody can try.
class ArrayElem {
 public:
  // Releases whatever the record owns; called on a record just before it leaves the array.
  virtual void Clear() {}
  // Makes a record whose bytes have just been copied into the array forget what it owns, so
  // that the copy in the array is the sole owner; called on the source of an Insert.
  virtual void Spoil() {}

 protected:
  ArrayElem() = default;
  ArrayElem(const ArrayElem&) = default;
  ArrayElem& operator=(const ArrayElem&) = default;
  ~ArrayElem() = default;
};

class CStructArray final {
 public:
  // Storage functions used for every growth and shrink. Tests replace them to make an
  // allocation fail; in production they are std::malloc and std::realloc. Storage is always
  // released with std::free, so a replacement must hand out blocks that std::free accepts.
  using MallocFn = void* (*)(std::size_t bytes);
  using ReallocFn = void* (*)(void* block, std::size_t bytes);
  static MallocFn sMalloc;
  static ReallocFn sRealloc;

  // Stores the record size in bytes and the growth quantum in records (a quantum below 1 is
  // taken as 1). Starts empty and allocates nothing.
  CStructArray(long elemSize, long quantum);
  // Clear(). Not virtual: arrays are never deleted through a base pointer.
  ~CStructArray();

  CStructArray(const CStructArray&) = delete;
  CStructArray& operator=(const CStructArray&) = delete;

  // Sets the record count to `count` (>= 0), growing or shrinking the storage to the smallest
  // whole number of quanta that holds it; count 0 frees the storage. Touches no record and
  // calls no hook: records beyond the old count are unconstructed bytes that the caller must
  // fill before anything can Delete or Clear them. Returns 1, or 0 with the array unchanged
  // when memory cannot be obtained (or the size would not fit the 32-bit fields).
  int Realloc(long count);

  // Inserts `count` records copied byte for byte from the consecutive records at `src`, the
  // first landing at `index` (0 <= index <= nCount; nCount appends), then calls Spoil() on each
  // source record in order. Returns 1, or 0 when memory cannot be obtained, in which case the
  // array and the source records are untouched and no hook has run. Cost: one block move of
  // the tail and at most one reallocation.
  int Insert(long index, long count, ArrayElem* src);

  // Calls Clear() on each of the `count` records from `index` on (index + count <= nCount), in
  // order and while each still sits in the array, removes them, closes the gap with one block
  // move and shrinks the storage. Returns 1; returns 0 only when the smaller storage cannot be
  // obtained, in which case the records are removed all the same and the array keeps its
  // larger storage (nAllocated may then exceed the quantum multiple for nCount until the next
  // resize).
  int Delete(long index, long count);

  // Removes every record (calling Clear() on each) and frees the storage.
  void Clear();

  // Whether any record is held.
  virtual bool HaveData();

  // Address of record `index` as type T (a record type stored in this array). The address is
  // valid only until the next call that can change the count.
  template <class T>
  T* At(long index) const {
    return reinterpret_cast<T*>(pData + index * static_cast<long>(nElemSize));
  }

  int32_t nElemSize;   // bytes per record; fixed at construction
  int32_t nQuantum;    // growth quantum in records; fixed at construction, at least 1
  int32_t nAllocated;  // records the storage has room for
  int32_t nCount;      // records held
  unsigned char* pData;  // nAllocated * nElemSize bytes, or null when nAllocated is 0

 private:
  ArrayElem* ElemAt(long index) const { return At<ArrayElem>(index); }
};
