#pragma once

// What every GPU vector offers, whatever its layout.
class GpuElement {
public:
    // Text dumps come from the C heap; the caller frees them with free().
    virtual char* ToString(int maxCount) = 0;
    virtual char* ToStringNonZero(int maxCount) = 0;
    virtual int Size() = 0;
    virtual void Fill(float value) = 0;

protected:
    // Deleting through this interface is not supported: GpuVector owns the
    // virtual destructor.
    ~GpuElement() = default;
};
