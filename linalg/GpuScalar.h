#pragma once

/// \file
/// One float on the GPU, with arithmetic that stays there.

#include <GL/glew.h>

class ShaderProgram;

/// One float living in a pooled 1x1 RGBA32F texture. Every operation that
// produces a scalar is a one-fragment pass, so a chain of scalar arithmetic
/// never travels to the host. Each write renders into a fresh pooled texture
/// and then swaps it in, so any operand may also be the destination; the
/// texture name changes after every write.
///
/// Passes render through the framework framebuffer, bound for the call if the
/// caller has not. A scalar made before InitFramework or used after
/// ShutdownFramework refuses every operation with a message on standard error
/// (GetValue then returns NaN), as do operations with a null or unusable operand.
class GpuScalar {
public:
    /// A scalar in a texture of the running framework (Create), value undefined.
    GpuScalar();
    /// Gives the texture back to the pool.
    virtual ~GpuScalar();

    GpuScalar(const GpuScalar&) = delete;
    GpuScalar& operator=(const GpuScalar&) = delete;

    /// Takes a 1x1 texture from the pool; the constructor calls it. Refused
    /// when the scalar holds one already, before InitFramework, or when the
    /// driver cannot allocate it.
    virtual void Create();
    /// Uploads v as the value.
    virtual void SetValue(float v);
    /// Reads the value back to the host; NaN when refused.
    virtual float GetValue();
    /// Reads the value back into *out; NaN there when refused.
    virtual void ReadValue(float* out);
    virtual void AddValue(float s, GpuScalar* dst);                               ///< dst = this + s
    virtual void Combine(GpuScalar* b, GpuScalar* dst, float alpha, float beta);  ///< alpha*this + beta*b
    /// this = this + s
    virtual void AddValueInPlace(float s);
    /// this = alpha*this + beta*b
    virtual void CombineInPlace(GpuScalar* b, float alpha, float beta);
    virtual void MulValue(float s, GpuScalar* dst);                ///< dst = this * s
    virtual void Multiply(GpuScalar* b, GpuScalar* dst, float s);  ///< dst = this * b * s
    /// this = this * s
    virtual void MulValueInPlace(float s);
    /// this = this * b * s
    virtual void MultiplyInPlace(GpuScalar* b, float s);
    virtual void SubtractFromInPlace(float s, GpuScalar* b);                         ///< this = b - s*this
    virtual void CombineSub(GpuScalar* b, GpuScalar* dst, float alpha, float beta);  ///< alpha*this - beta*b
    /// this = this - s
    virtual void SubValueInPlace(float s);
    /// this = alpha*this - beta*b
    virtual void CombineSubInPlace(GpuScalar* b, float alpha, float beta);
    virtual void Divide(GpuScalar* b, GpuScalar* dst, float num, float den);  ///< (num/den)*this / b
    virtual void MultiplyDivideInPlace(float s, GpuScalar* b);                ///< this * b * (1/s)
    virtual void DivValueInPlace(float s);                                    ///< this * (1/s)
    /// this = (num/den)*this / b
    virtual void DivideInPlace(GpuScalar* b, float num, float den);
    virtual void Reciprocal(GpuScalar* dst, float num, float den);  ///< (num/den) / this
    /// this = (num/den) / this
    virtual void ReciprocalInPlace(float num, float den);
    /// dst = b != 0 ? q*this/b : 0, with q = den == 0 ? 0 : num/den: never a
    /// division by zero, which is what lets a solver run without read-back.
    virtual void SafeDivide(GpuScalar* b, GpuScalar* dst, float num, float den);
    virtual char* ToString();  ///< `"%g"` of the value, from the C heap

    /// The texture holding the value now; it changes with every write.
    GLuint Texture() const { return texture; }
    /// Holds a texture of the running framework.
    bool IsUsable() const;
    /// Live scalars sharing the kernel programs.
    static int Instances() { return s_iScalarInstances; }

private:
    bool CheckOperands(const char* call, const GpuScalar* b, const GpuScalar* dst) const;
    // False, with nothing attached, when the pool cannot give a target.
    bool PrepareTarget();
    void CommitTarget();
    void RunUnaryPass(const char* call, GpuScalar* dst, float value, GLint location, ShaderProgram* program);
    void RunPairPass(const char* call, GpuScalar* b, GpuScalar* dst, float value, GLint location,
                     ShaderProgram* program);
    void RunPairPassVec2(const char* call, GpuScalar* b, GpuScalar* dst, float x, float y, GLint location,
                         ShaderProgram* program);
    struct PassUniform {
        GLint location;
        int components;  // 1: float, 2: vec2
        float x, y;
    };
    void RunPass(const char* call, GpuScalar* b, GpuScalar* dst, ShaderProgram* program,
                 const PassUniform& uniform);

    static void CreateSharedPrograms();
    static void ReleaseSharedPrograms();

    GLuint texture = 0;
    int ownSlot = -1;
    int tempSlot = -1;
    GLuint tempTexture = 0;
    unsigned generation = 0;  // of the framework the texture came from

    static ShaderProgram* s_pCombineProgram;
    static ShaderProgram* s_pProductProgram;
    static ShaderProgram* s_pQuotientProgram;
    static ShaderProgram* s_pSafeQuotientProgram;
    static ShaderProgram* s_pReciprocalProgram;
    static ShaderProgram* s_pAddProgram;
    static ShaderProgram* s_pScaleProgram;
    static GLint s_iCombineLocation;
    static GLint s_iProductLocation;
    static GLint s_iQuotientLocation;
    static GLint s_iSafeQuotientLocation;
    static GLint s_iReciprocalLocation;
    static GLint s_iAddLocation;
    static GLint s_iScaleLocation;
    static int s_iScalarInstances;
};
