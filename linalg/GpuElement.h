#pragma once

/// \file
/// The interface every GPU vector offers.

/// What every GPU vector offers, whatever its layout.
class GpuElement {
public:
    /// \name Text dumps
    /// Text dumps come from the C heap; the caller frees them with free().
    ///@{

    /// The values in element order, a line per grid row; at most maxCount
    /// of them when it is positive.
    virtual char* ToString(int maxCount) = 0;
    /// The values further than 1e-5 from 0, as index:value; limited by
    /// maxCount when it is positive.
    virtual char* ToStringNonZero(int maxCount) = 0;
    ///@}

    /// The number of elements.
    virtual int Size() = 0;
    /// Every element set to value.
    virtual void Fill(float value) = 0;

protected:
    /// Deleting through this interface is not supported: GpuVector owns the
    /// virtual destructor.
    ~GpuElement() = default;
};
