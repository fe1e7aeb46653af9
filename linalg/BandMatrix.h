#pragma once

#include <GL/glew.h>

/// \file
/// Matrices stored by diagonals, and the water demo's system matrix.

class GpuVector;
class PackedVector;
class ShaderProgram;

/// A square matrix over the N = W*H elements of a grid, stored as a few
// diagonals. The diagonal of offset d (-N < d < N) holds in element n the
/// entry of row n, column n + d, and is named by the key N + d. Each diagonal
/// is a packed vector. A product is one pass that reads every diagonal and the
/// texels of x they reach, through a program built for the matrix when its
/// diagonals are set; a matrix with more diagonals than the driver has texture
/// units for falls back to one shifted multiply pass per diagonal.
/// Entries whose column falls outside the matrix must be 0: the kernels wrap
/// (GridOperator builds matrices that never do).
/// Any positive W and H whose keys fit an int; a matrix of another size
/// refuses its calls, as do keys outside 1..2N-1 and operands that are not
/// packed vectors of the grid's size.
class BandMatrix {
public:
    /// A matrix over a width x height grid with no diagonals yet (SetDiagonals).
    BandMatrix(int width, int height);

    BandMatrix(const BandMatrix&) = delete;
    BandMatrix& operator=(const BandMatrix&) = delete;

    /// y = y + A*x, then the correction by c (see MultiplyVector).
    virtual void MultiplyVectorAdd(int op, GpuVector* x, GpuVector* c, GpuVector* y);
    /// y = A*x, then y = y + c for op 1 or y = y - c for op 2 when c is given.
    /// x, y (and c) are packed vectors of the grid's size, x distinct from y.
    /// The correction comes after the product, so c = y gives 2 A x for op 1
    /// and 0 for op 2.
    virtual void MultiplyVector(int op, GpuVector* x, GpuVector* c, GpuVector* y);
    /// r = b - A*x, the residual of x, in the same pass as the product; b may
    /// be r, whose previous values are then taken.
    void SubtractProduct(GpuVector* x, GpuVector* b, GpuVector* r);
    /// The grid's width W.
    virtual int Width();
    /// The grid's height H.
    virtual int Height();
    virtual int FindDiagonal(int key);  ///< first index with this key, or -1
    /// Releases the diagonals.
    virtual ~BandMatrix();
    /// Copies v's values into the diagonal of this key. False when the key is
    /// absent or v's texture has another size or format. Like every vector
    /// pass it binds the framework framebuffer for itself.
    virtual bool SetDiagonal(GpuVector* v, int key);
    /// The diagonal of this key, to read or write its values; null when absent.
    virtual PackedVector* GetDiagonal(int key);
    /// Stores the keys and creates their diagonals, contents undefined until
    /// uploaded. Diagonals already held are released first. Refused, leaving
    /// the matrix as it was, for a null key array or a key outside 1..2N-1.
    virtual void SetDiagonals(const int* keys, int count);
    /// Releases every diagonal and its key: the matrix holds none.
    virtual void Clear();

    /// How many diagonals the matrix holds.
    int NumDiagonals() const { return m_iNumDiagonals; }
    /// The key of the diagonal at this index, or -1 outside 0..NumDiagonals()-1.
    int KeyAt(int index) const { return index >= 0 && index < m_iNumDiagonals ? m_piKeys[index] : -1; }
    /// Products run as one pass (false: one pass per diagonal).
    bool IsFused() const { return m_pFusedProgram != nullptr; }
    /// The most diagonals a one-pass product takes on this driver: its texture
    /// units, less x, c and y's previous values.
    static int MaxFusedDiagonals();
    /// Positive, and small enough for its keys.
    bool IsUsable() const { return m_bUsable; }

protected:
    int m_iWidth;                          ///< the grid's width W
    int m_iHeight;                         ///< the grid's height H
    int m_iNumDiagonals = 0;               ///< entries of the two arrays below
    int* m_piKeys = nullptr;               ///< the key of each diagonal
    PackedVector* m_pDiagonals = nullptr;  ///< the diagonals, in the order of m_piKeys

private:
    // How the one-pass product combines: y = [y +] sign * A x + correction * c.
    struct Form {
        bool accumulate;
        float productSign;
        float correction;
    };
    bool CheckProductOperands(const char* call, GpuVector* x, GpuVector* c, GpuVector* y);
    void Multiply(const char* call, GpuVector* x, GpuVector* c, GpuVector* y, const Form& form);
    void MultiplyDiagonals(GpuVector* x, GpuVector* y, bool overwriteFirst);
    void RunFusedProduct(const char* call, GpuVector* x, GpuVector* c, GpuVector* y, const Form& form);
    void BuildFusedProgram();

    bool m_bUsable;
    ShaderProgram* m_pFusedProgram = nullptr;
    GLint m_iFormLocation = -1;
};

/// The implicit half of the water demo's wave step: (1 + 4e) on the diagonal
/// and -e towards the four grid neighbours that exist, e = c^2 dt^2 / (2 dx dy).
class WaveSystemMatrix : public BandMatrix {
public:
    /// The five diagonals on a width x height grid, filled for wave speed c,
    /// time step dt and grid spacings dx and dy.
    WaveSystemMatrix(int width, int height, float speed, float timeStep, float spacingX, float spacingY);
    ~WaveSystemMatrix() override;

    /// e = c^2 dt^2 / (2 dx dy)
    float PreFactor() const;

protected:
    float m_fSpeed;     ///< c
    float m_fTimeStep;  ///< dt
    float m_fSpacingX;  ///< dx
    float m_fSpacingY;  ///< dy

private:
    void FillWaveDiagonals();
};
