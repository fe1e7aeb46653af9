#pragma once

/// \file
/// The base of every GPU vector: element-wise kernels, reductions, transfers.

#include <GL/glew.h>

#include <cstddef>
#include <string>

#include "gpu/ResourcePool.h"
#include "linalg/GpuElement.h"

class GpuScalar;
class ShaderProgram;

/// The quad a reduction draws, shrunk towards the lower-left corner pass by pass.
struct ReductionQuad {
    /// A corner of the quad.
    struct Vertex {
        ///@{

        /// Clip position (x, y) and texture coordinate (s, t).
        float x, y, s, t;
        ///@}
    };
    /// lower-left, lower-right, upper-right, upper-left
    Vertex vertices[4] = {{-1, -1, 0, 0}, {1, -1, 1, 0}, {1, 1, 1, 1}, {-1, 1, 0, 1}};
};

/// A vector of floats in one pooled RGBA32F texture. The layouts decide how
/// values sit in texels; everything that does not depend on that lives here:
/// the render-target exchange, text dumps, element-wise kernels and reductions.
///
/// Every kernel is a render pass through the framework framebuffer; a call binds
/// it if the caller has not and restores the caller's framebuffer afterwards. A
/// kernel that may read its destination renders into a pooled scratch texture
/// and swaps it in (CommitTarget), so texture names change after every write.
///
/// A call that cannot do its work refuses: one line on standard error naming
/// the call and the reason, operands untouched. Vectors of a size the driver
/// cannot hold, made before InitFramework or used after ShutdownFramework, and
/// operands of other sizes or layouts are refused that way.
class GpuVector : public GpuElement {
public:
    char* ToString(int maxCount) override;
    char* ToStringNonZero(int maxCount) override;
    int Size() override = 0;
    void Fill(float value) override;
    /// Gives the texture it holds now back to the pool.
    virtual ~GpuVector();
    /// Smallest power-of-two texture of at least n texels; n < 1 gives 1x1.
    virtual void CreateForLength(int n, int reserved, int internalFormat);
    /// Once per vector: a second Create is refused, as is a texture side
    /// outside 1..GL_MAX_TEXTURE_SIZE.
    virtual void Create(int width, int height, int reserved, int internalFormat);
    virtual int Width() = 0;  ///< logical size in values
    /// logical size in values
    virtual int Height() = 0;
    /// Writes the texture's size, format and target to *out and returns out.
    virtual TextureDesc* GetTextureDesc(TextureDesc* out);
    /// \name Transfers with a trusted pointer
    /// Size() floats in element order. The pointer is trusted: prefer the sized
    /// forms below, which refuse a buffer that is too short.
    ///@{

    /// Uploads values.
    virtual void SetData(const float* values) = 0;
    /// Reads the values back into values.
    virtual void GetData(float* values) = 0;
    ///@}

    /// \name Reductions
    /// Dot and Sum leave their result on the GPU; the Value forms read it back
    /// (NaN when refused). Any size: the passes fold blocks of texels, and the
    /// last one is the layout's ReduceInto (Sum, Dot) or ReduceFinal (the
    /// Value forms), which the base finishes with the fold's own last pass.
    ///@{

    /// result = the inner product of this and other
    virtual void Dot(GpuVector* other, GpuScalar* result);
    /// result = the sum of the elements
    virtual void Sum(GpuScalar* result);
    /// The inner product of this and other, on the host.
    virtual float DotValue(GpuVector* other);
    /// The sum of the elements, on the host.
    virtual float SumValue();
    ///@}

    virtual void Scale(float s);  ///< this = s*this
    /// this = src, element by element; a copy onto itself does nothing.
    virtual void CopyFrom(GpuVector* src);
    virtual void MulAddScalar(GpuVector* b, GpuVector* dst, float s, GpuScalar* c);  ///< s*this + c*b
    virtual void Combine(GpuVector* b, GpuVector* dst, float alpha, float beta);     ///< alpha*this + beta*b
    virtual void MulSubScalar(GpuVector* b, GpuVector* dst, float s, GpuScalar* c);  ///< s*this - c*b
    virtual void CombineSub(GpuVector* b, GpuVector* dst, float alpha, float beta);  ///< alpha*this - beta*b
    /// op 1: Combine, op 2: CombineSub, anything else: nothing.
    virtual void CombineOp(int op, GpuVector* b, GpuVector* dst, float alpha, float beta);
    /// Swaps in the scratch texture the last pass drew into as the vector's
    /// texture; the old one goes back to the pool. Refused when no scratch
    /// texture was acquired.
    virtual void CommitTarget();
    /// The texture holding the values now; it changes with every write.
    virtual GLuint Texture();
    /// Builds the layout's kernel programs with its first instance (and takes
    /// a share of the base's); Create calls it.
    virtual void CreatePrograms() = 0;
    /// Halving passes along x, from step on, until the region is one texel
    /// wide; the quad shrinks with them.
    virtual void ReduceX(int* step, ReductionQuad* quad);
    /// Halving passes along y, from step on, until the region is one texel
    /// high; the quad shrinks with them.
    virtual void ReduceY(int* step, ReductionQuad* quad);
    /// After the halving passes (ReduceSquare): the 2x2 region into target.
    /// Inside Sum, Dot and their Value forms: the fold's last pass.
    virtual void ReduceFinal(int step, GLuint target, bool sumChannels);
    /// The layout's last reduction pass into the 1x1 target: ReduceFinal, adding
    /// the channels where the layout holds several values a texel.
    virtual void ReduceInto(int step, GLuint target) = 0;
    /// The total in a 1x1 texture that ReduceInto drew, read back to the host.
    virtual float ReadReduced(GLuint texture) = 0;
    /// A scratch texture of the vector's description from the pool, for the
    /// next pass to draw into (0 when the vector is unusable).
    virtual GLuint AcquireTarget();

    /// Sets the viewport to the texture and attaches a scratch texture as the
    /// next pass's target; false when the pool cannot give one or the
    /// framebuffer is incomplete.
    bool AttachRenderTarget();
    /// Attaches a fresh scratch texture as the next pass's target. False, after
    /// refusing in call's name with nothing attached, when the pool cannot
    /// give one: the pass must not draw.
    bool AttachScratchTarget(const char* call);
    /// Gives an acquired scratch texture back unused: the pass that was to
    /// render into it did not run.
    void ReleaseTarget();
    /// The full-screen pass every kernel draws.
    static void DrawFullScreenPass();
    /// The halving passes of a reduction that a caller drives itself: the
    /// texture bound to unit 0 (with dot, its products with the one on unit 1)
    /// folded towards the lower-left corner of the vector's scratch textures;
    /// returns the step to hand on to ReduceFinal or ReduceInto. Exact for
    /// power-of-two sides.
    int ReduceSquare(bool dot);

    /// \name Transfers with a sized buffer
    /// count is the buffer's length in floats; false, with a message and
    /// nothing transferred, when it is shorter than Size().
    ///@{

    /// Uploads Size() of the values.
    bool SetData(const float* values, size_t count);
    /// Reads Size() values back into values.
    bool GetData(float* values, size_t count);
    ///@}

    /// Holds a texture of the running framework: a refused or orphaned vector
    /// does not.
    bool IsUsable() const;
    /// Refuse, naming call, unless this vector is usable.
    bool CheckUsable(const char* call) const;
    /// Refuse, naming call, unless this vector is usable and other is a usable
    /// vector of this logical size and texture (so of this layout too).
    bool CheckMatches(const char* call, GpuVector* other);

    /// GLSL: vec4 Valid(vec2 texel), 1 in each channel of the texel that holds
    /// an element and 0 in the padding, from the uniform vec4 g_f4Valid; SetValid
    /// fills it for this vector (with the program bound).
    static const char* const kValidSource;

    /// Layouts currently holding the shared kernel set.
    static int SharedProgramUsers() { return s_iSharedProgramUsers; }

protected:
    /// Holds no texture until Create or CreateForGrid.
    GpuVector() = default;
    GpuVector(const GpuVector&) = delete;
    GpuVector& operator=(const GpuVector&) = delete;

    /// Builds the base's kernels for the first layout instance that asks.
    static void CreateSharedPrograms();
    /// Deletes the base's kernels when the last layout instance gives its share back.
    static void ReleaseSharedPrograms();

    /// Holds a texture, of whichever framework.
    bool IsCreated() const { return ownSlot >= 0; }

    /// A layout whose elements do not fill its texture (an odd grid, a length
    /// no texture side holds) sets its logical grid and a texture of its own
    /// choosing: elements stay in row-major texel order, four or one a texel,
    /// and the texels past the last element ("padding") hold 0. False, after
    /// refusing in call's name, when no texture the driver takes holds them.
    bool CreateForGrid(const char* call, int gridWidth, int gridHeight, int reserved);
    /// The texture has places past the last element.
    bool HasPadding();

    /// Sets the viewport to the texture and attaches the vector's own texture
    /// as the target: for passes that do not read their destination.
    void AttachOwnTexture();
    /// Respecifies the vector's texture from host values in the given format.
    void UploadTexels(GLenum format, const float* values);
    /// Reads a w x h texture back through the bound framework framebuffer.
    static void ReadTexels(GLuint source, int w, int h, GLenum format, float* values);
    /// \name Element transfers
    /// Size() values in and out of the texture, in the given format; padding
    /// goes up as 0 and is not handed back.
    ///@{

    /// Uploads Size() values.
    void UploadElements(GLenum format, const float* values);
    /// Reads Size() values back.
    void ReadElements(GLenum format, float* values);
    ///@}

    /// Sets the bound program's g_f4Valid (at location) for this vector: see kValidSource.
    void SetValid(GLint location);

    /// The GLSL of a diagonal product: shifted or not, accumulating or not.
    static std::string DiagonalProductSource(bool shifted, bool accumulate);
    /// Builds a diagonal-product program from DiagonalProductSource with its
    /// samplers set; its factor's uniform location goes to *location.
    static ShaderProgram* BuildDiagonalProgram(const std::string& source, bool shifted, bool accumulate,
                                               GLint* location);
    /// A layout's product kernel with this vector as one band-matrix diagonal:
    /// an unshifted program takes the factor alone, a shifted one the texture
    /// size, the shift and the factor.
    struct DiagonalProgram {
        ShaderProgram* program;  ///< from BuildDiagonalProgram
        GLint location;          ///< of the factor's uniform
        bool shifted;            ///< takes the size and the shift too
    };
    /// dst = [dst +] this (.) shifted src * factor, in one pass into dst's
    /// scratch texture; the accumulating kernels read dst's sum on unit 2.
    void RunDiagonalProduct(const char* call, GpuVector* src, GpuVector* dst, bool accumulate, const DiagonalProgram& kernel,
                            int shift, float factor);

    GLuint texture = 0;              ///< the texture holding the values now
    int pingIndex = 0;               ///< which of the two scratch textures a reduction draws into next
    int width = 0;                   ///< of the texture, in texels
    int height = 0;                  ///< of the texture, in texels
    int internalFormat = GL_RGBA8;   ///< of the texture
    int target = GL_TEXTURE_2D;      ///< of the texture
    int ownSlot = -1;                ///< the vector's entry in the pool; -1 before Create
    int tempSlot[2] = {-1, -1};      ///< pool entries of the scratch textures held, -1 for none
    GLuint tempTexture[2] = {0, 0};  ///< the scratch textures held
    unsigned generation = 0;         ///< of the framework the texture came from
    /// \name Grid of a layout's own texture
    /// The logical size when a layout set one (CreateForGrid), else 0.
    ///@{

    int gridWidth = 0;   ///< in values
    int gridHeight = 0;  ///< in values
    ///@}

    int valuesPerTexel = 1;  ///< 1 unpacked, 4 packed

private:
    TextureDesc Desc() const;
    void AcquireReductionTextures();
    void ReleaseReductionTextures();
    bool CheckReductionOperands(const char* call, GpuVector* other, GpuScalar* result);
    void ReduceIntoScalar(GpuVector* other, GpuScalar* result);
    float ReduceToHost(GpuVector* other);
    // The total of this vector, of its product with other, or of its squares
    // (other == this), into the 1x1 target; sumChannels adds the channels.
    // The fold in two halves around the layout's last step: every pass but
    // the last, then (from ReduceFinal) the last into target.
    int FoldAllButLast(GpuVector* other);
    void FinishFold(GLuint target, bool sumChannels);
    bool ReduceWith(const char* call, GpuVector* other);
    void EndReduction(GpuVector* other);
    void MultiplyIntoScratch();
    void RunMulScalarPass(const char* call, GpuVector* b, GpuVector* dst, float s, GpuScalar* c,
                          ShaderProgram* program, GLint location);
    void DrawReductionPass(ShaderProgram* program, GLint location, int step, const ReductionQuad& quad);
    void FinishReductionPass(int* step);
    template <typename FormatValue>
    char* Dump(const char* call, FormatValue formatValue);

    static ShaderProgram* s_pCopyProgram;
    static ShaderProgram* s_pFillProgram;
    static ShaderProgram* s_pFillValidProgram;  // leaves the padding 0
    static ShaderProgram* s_pVecScaleProgram;
    static ShaderProgram* s_pVecCombineProgram;
    static ShaderProgram* s_pMulAddGpuScalarProgram;
    static ShaderProgram* s_pMulSubGpuScalarProgram;
    static ShaderProgram* s_pReduceDotProgram;
    static ShaderProgram* s_pReduceSumProgram;
    static ShaderProgram* s_pReduceSumXProgram;
    static ShaderProgram* s_pReduceSumYProgram;
    static ShaderProgram* s_pFinalSumProgram;
    static ShaderProgram* s_pFinalTotalProgram;
    // Reductions of textures with a side below 4 texels need these two: the
    // folding passes above cannot apply a product or skip a missing partner.
    static ShaderProgram* s_pElementProductProgram;
    static ShaderProgram* s_pFinalPartialProgram;
    // Sum and Dot fold blocks of texels per pass, skipping what lies past the
    // region: values, products of two vectors, squares of one.
    struct FoldProgram {
        ShaderProgram* program = nullptr;
        GLint region = 0;
        GLint sumChannels = 0;
    };
    struct PendingFold {
        const FoldProgram* fold = nullptr;  // the last pass's program; null when no fold is pending
        int regionWidth = 0;
        int regionHeight = 0;
    };
    PendingFold pendingFold;
    void DrawFoldPass(const FoldProgram& fold, int regionWidth, int regionHeight, GLuint target, bool sumChannels);
    static FoldProgram s_foldSum;
    static FoldProgram s_foldDot;
    static FoldProgram s_foldSquare;
    static GLint s_iFillLocation;
    static GLint s_iFillValidLocation;
    static GLint s_iFillValidRegionLocation;
    static GLint s_iVecScaleLocation;
    static GLint s_iVecCombineLocation;
    static GLint s_iMulAddGpuScalarLocation;
    static GLint s_iMulSubGpuScalarLocation;
    static GLint s_iReduceDotLocation;
    static GLint s_iReduceSumLocation;
    static GLint s_iReduceSumXLocation;
    static GLint s_iReduceSumYLocation;
    static GLint s_iFinalSumLocation;
    static GLint s_iFinalTotalLocation;
    static GLint s_iFinalPartialStepLocation;
    static GLint s_iFinalPartialPartnerLocation;
    static GLint s_iFinalPartialChannelsLocation;
    static void CreateReductionPrograms();
    static void ReleaseReductionPrograms();
    static int s_iSharedProgramUsers;
};
