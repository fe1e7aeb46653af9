#include "linalg/GpuVector.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "gpu/Framework.h"
#include "gpu/FullScreenPass.h"
#include "gpu/GlPlatform.h"
#include "linalg/KernelSupport.h"

namespace {

// Texture sides the driver takes, with every float of the texture countable in an int.
bool CheckTextureSize(const char* call, int width, int height) {
    if (FrameworkGeneration() == 0) return Refuse(call, "the framework is not initialised (call InitFramework first)");
    if (width < 1 || height < 1 || width > g_iMaxTextureSize || height > g_iMaxTextureSize)
        return Refuse(call, "a %dx%d texture is outside 1..%d texels a side", width, height, g_iMaxTextureSize);
    if (4LL * width * height > INT_MAX) return Refuse(call, "a %dx%d texture holds more floats than an int counts", width, height);
    return true;
}

}  // namespace

GpuVector::~GpuVector() {
    // The texture held now, not the one acquired at creation: exchanges moved it.
    if (IsUsable()) g_resourcePool->ReturnTexture(ownSlot, texture);
}

void GpuVector::Create(int width, int height, int reserved, int internalFormat) {
    (void)reserved;
    const char* const call = "GpuVector::Create";
    if (IsCreated()) {
        Refuse(call, "the vector already holds a texture");
        return;
    }
    if (!CheckTextureSize(call, width, height)) return;
    this->width = width;
    this->height = height;
    this->internalFormat = internalFormat;
    pingIndex = 0;
    ownSlot = g_resourcePool->AcquireTexture(Desc(), texture);
    if (ownSlot < 0) {
        Refuse(call, "the driver cannot allocate a %dx%d texture", width, height);
        this->width = this->height = 0;
        return;
    }
    generation = FrameworkGeneration();
    tempTexture[0] = 0;
    tempSlot[0] = -1;
    tempTexture[1] = 0;
    tempSlot[1] = -1;
    CreatePrograms();
}

bool GpuVector::CreateForGrid(const char* call, int gridW, int gridH, int reserved) {
    if (gridW < 1 || gridH < 1) return Refuse(call, "a %dx%d grid is not positive in both directions", gridW, gridH);
    if (FrameworkGeneration() == 0) return Refuse(call, "the framework is not initialised (call InitFramework first)");
    const long long elements = static_cast<long long>(gridW) * gridH;
    if (elements > INT_MAX) return Refuse(call, "a %dx%d grid holds more elements than an int counts", gridW, gridH);
    // The grid's own shape where its sides fit: a texel row then holds whole
    // grid rows (two, packed), and an even grid is laid out exactly as ever.
    const bool packed = valuesPerTexel == 4;
    long long textureWidth = packed ? (gridW + 1) / 2 : gridW, textureHeight = packed ? (gridH + 1) / 2 : gridH;
    if (textureWidth > g_iMaxTextureSize || textureHeight > g_iMaxTextureSize) {
        const long long texels = (elements + valuesPerTexel - 1) / valuesPerTexel;
        textureWidth = static_cast<long long>(std::ceil(std::sqrt(static_cast<double>(texels))));
        textureHeight = (texels + textureWidth - 1) / textureWidth;
        if (textureWidth > g_iMaxTextureSize || textureHeight > g_iMaxTextureSize)
            return Refuse(call, "a %dx%d grid does not fit a texture of at most %dx%d texels", gridW, gridH,
                          g_iMaxTextureSize, g_iMaxTextureSize);
    }
    gridWidth = gridW;
    gridHeight = gridH;
    Create(static_cast<int>(textureWidth), static_cast<int>(textureHeight), reserved, GL_RGBA32F_ARB);
    if (!IsCreated()) {
        gridWidth = gridHeight = 0;
        return false;
    }
    // A pooled texture holds what its last user left: the padding must be 0.
    if (HasPadding()) Fill(0.0f);
    return true;
}

bool GpuVector::HasPadding() {
    return static_cast<long long>(width) * height * valuesPerTexel > static_cast<long long>(Size());
}

void GpuVector::CreateForLength(int n, int reserved, int internalFormat) {
    int k = 0;
    while ((1LL << k) < static_cast<long long>(n)) ++k;
    const int widthExponent = (k + 1) / 2;  // the wider side takes the odd power
    const int heightExponent = k / 2;
    Create(1 << widthExponent, 1 << heightExponent, reserved, internalFormat);
}

TextureDesc GpuVector::Desc() const {
    TextureDesc desc;
    desc.width = width;
    desc.height = height;
    desc.internalFormat = internalFormat;
    desc.target = target;
    return desc;
}

TextureDesc* GpuVector::GetTextureDesc(TextureDesc* out) {
    *out = Desc();
    return out;
}

GLuint GpuVector::Texture() { return texture; }

bool GpuVector::IsUsable() const { return IsCreated() && generation == FrameworkGeneration(); }

bool GpuVector::CheckUsable(const char* call) const {
    if (IsUsable()) return true;
    if (!IsCreated()) return Refuse(call, "the vector has no texture (its creation was refused)");
    return Refuse(call, "the vector outlived the framework it was made under");
}

bool GpuVector::CheckMatches(const char* call, GpuVector* other) {
    if (!CheckUsable(call)) return false;
    if (other == nullptr) return Refuse(call, "an operand is null");
    if (!other->CheckUsable(call)) return false;
    if (other->Width() != Width() || other->Height() != Height() || other->Desc() != Desc())
        return Refuse(call, "operands differ in size or layout (%dx%d in a %dx%d texture against %dx%d in %dx%d)",
                      Width(), Height(), width, height, other->Width(), other->Height(), other->width,
                      other->height);
    return true;
}

GLuint GpuVector::AcquireTarget() {
    if (!CheckUsable("GpuVector::AcquireTarget")) return 0;
    tempSlot[0] = g_resourcePool->AcquireTexture(Desc(), tempTexture[0]);
    return tempTexture[0];
}

bool GpuVector::AttachRenderTarget() {
    glViewport(0, 0, width, height);
    const GLuint scratch = AcquireTarget();
    if (tempSlot[0] < 0) return false;
    AttachPassTarget(scratch);
    return CheckFramebufferStatus();
}

void GpuVector::ReleaseTarget() {
    if (tempSlot[0] >= 0 && IsUsable()) g_resourcePool->ReleaseTexture(tempSlot[0]);
    tempSlot[0] = -1;
}

bool GpuVector::AttachScratchTarget(const char* call) {
    AttachRenderTarget();
    if (tempSlot[0] >= 0) return true;
    return Refuse(call, "the driver cannot allocate a %dx%d scratch texture; nothing computed", width, height);
}

bool GpuVector::SetData(const float* values, size_t count) {
    if (!CheckUsable("GpuVector::SetData")) return false;
    if (values == nullptr || count < static_cast<size_t>(Size()))
        return Refuse("GpuVector::SetData", "the buffer holds %zu floats, the vector %d", values ? count : 0,
                      Size());
    SetData(values);
    return true;
}

bool GpuVector::GetData(float* values, size_t count) {
    if (!CheckUsable("GpuVector::GetData")) return false;
    if (values == nullptr || count < static_cast<size_t>(Size()))
        return Refuse("GpuVector::GetData", "the buffer holds %zu floats, the vector %d", values ? count : 0,
                      Size());
    GetData(values);
    return true;
}

void GpuVector::AttachOwnTexture() {
    glViewport(0, 0, width, height);
    AttachPassTarget(texture);
}

void GpuVector::UploadTexels(GLenum format, const float* values) {
    kernel::BindTexture(GL_TEXTURE0, texture);
    UploadFloatTexels(GL_TEXTURE_2D, internalFormat, width, height, format, values);
    glBindTexture(GL_TEXTURE_2D, 0);
}

void GpuVector::ReadTexels(GLuint source, int w, int h, GLenum format, float* values) {
    FrameworkFramebufferScope framebuffer;
    AttachPassTarget(source);
    ReadFloatPixels(0, 0, w, h, format, values);
}

namespace {

size_t ComponentsOf(GLenum format) { return format == GL_RGBA ? 4 : 1; }

}  // namespace

void GpuVector::UploadElements(GLenum format, const float* values) {
    if (!HasPadding()) {
        UploadTexels(format, values);
        return;
    }
    std::vector<float> texels(static_cast<size_t>(width) * static_cast<size_t>(height) * ComponentsOf(format), 0.0f);
    std::copy(values, values + Size(), texels.begin());
    UploadTexels(format, texels.data());
}

void GpuVector::ReadElements(GLenum format, float* values) {
    if (!HasPadding()) {
        ReadTexels(texture, width, height, format, values);
        return;
    }
    std::vector<float> texels(static_cast<size_t>(width) * static_cast<size_t>(height) * ComponentsOf(format));
    ReadTexels(texture, width, height, format, texels.data());
    std::copy(texels.begin(), texels.begin() + Size(), values);
}

// Elements fill texels in row-major order: the first Size() / valuesPerTexel
// texels whole, the next one its first Size() % valuesPerTexel channels.
const char* const GpuVector::kValidSource = R"(uniform vec4 g_f4Valid;
vec4 Valid(vec2 texel)
{
if (texel.y < g_f4Valid.y || (texel.y == g_f4Valid.y && texel.x < g_f4Valid.x)) return vec4(1.0);
if (texel.y == g_f4Valid.y && texel.x == g_f4Valid.x) return step(vec4(0.5, 1.5, 2.5, 3.5), vec4(g_f4Valid.z));
return vec4(0.0);
}
)";

void GpuVector::SetValid(GLint location) {
    const int whole = Size() / valuesPerTexel, partial = Size() % valuesPerTexel;
    glUniform4f(location, static_cast<float>(whole % width), static_cast<float>(whole / width),
                static_cast<float>(partial), 0.0f);
}

// No GL texture is created or deleted: the previous texture goes back to the
// pool under the scratch entry.
void GpuVector::CommitTarget() {
    if (!CheckUsable("GpuVector::CommitTarget")) return;
    if (tempSlot[0] < 0) {
        Refuse("GpuVector::CommitTarget", "no scratch target was acquired");
        return;
    }
    const GLuint old = texture;
    texture = tempTexture[0];
    g_resourcePool->ReturnTexture(tempSlot[0], old);
    tempSlot[0] = -1;
}

void GpuVector::DrawFullScreenPass() { ::DrawFullScreenPass(); }

// Reads every value back and formats them one by one into a C-heap string.
// Entries are sized as they are formatted, so no value can overflow the text.
template <typename FormatValue>
char* GpuVector::Dump(const char* call, FormatValue formatValue) {
    const int count = CheckUsable(call) ? Size() : 0;
    std::vector<float> values(static_cast<size_t>(count > 0 ? count : 0));
    if (count > 0) GetData(values.data());
    std::string text;
    char entry[96];  // the longest float in "%7.5f" with an index is about 60 characters
    for (int i = 0; i < count; ++i) {
        const int length = formatValue(entry, sizeof entry, i, values[static_cast<size_t>(i)]);
        if (length < 0) break;  // the formatter says the dump is complete
        text.append(entry, std::min(static_cast<size_t>(length), sizeof entry - 1));
    }
    char* result = static_cast<char*>(std::malloc(text.size() + 1));
    std::memcpy(result, text.c_str(), text.size() + 1);
    return result;
}

char* GpuVector::ToString(int maxCount) {
    return Dump("GpuVector::ToString", [&](char* entry, size_t size, int i, float value) {
        if (maxCount > 0 && i >= maxCount) return -1;
        const bool endOfRow = (i + 1) % width == 0;
        return std::snprintf(entry, size, endOfRow ? "%7.5f\n" : "%7.5f\t ", static_cast<double>(value));
    });
}

char* GpuVector::ToStringNonZero(int maxCount) {
    int written = 0;
    return Dump("GpuVector::ToStringNonZero", [&](char* entry, size_t size, int i, float value) {
        if (maxCount > 0 && written > maxCount) return -1;
        if (!(std::fabs(static_cast<double>(value)) > 1e-5)) return 0;
        ++written;
        return std::snprintf(entry, size, "%i:%7.5f\t ", i, static_cast<double>(value));
    });
}
