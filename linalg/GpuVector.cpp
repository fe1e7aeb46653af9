#include "linalg/GpuVector.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "gpu/Framework.h"
#include "gpu/FullScreenPass.h"
#include "linalg/KernelSupport.h"

GpuVector::~GpuVector() {
    // The texture held now, not the one acquired at creation: exchanges moved it.
    if (IsCreated() && g_resourcePool != nullptr) g_resourcePool->ReturnTexture(ownSlot, texture);
}

void GpuVector::Create(int width, int height, int reserved, int internalFormat) {
    (void)reserved;
    this->width = width;
    this->height = height;
    this->internalFormat = internalFormat;
    pingIndex = 0;
    ownSlot = g_resourcePool->AcquireTexture(Desc(), texture);
    tempTexture[0] = 0;
    tempSlot[0] = -1;
    tempTexture[1] = 0;
    tempSlot[1] = -1;
    CreatePrograms();
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

GLuint GpuVector::AcquireTarget() {
    tempSlot[0] = g_resourcePool->AcquireTexture(Desc(), tempTexture[0]);
    return tempTexture[0];
}

bool GpuVector::AttachRenderTarget() {
    glViewport(0, 0, width, height);
    const GLuint scratch = AcquireTarget();
    kernel::AttachTarget(scratch);
    return CheckFramebufferStatus();
}

void GpuVector::AttachOwnTexture() {
    glViewport(0, 0, width, height);
    kernel::AttachTarget(texture);
}

void GpuVector::UploadTexels(GLenum format, const float* values) {
    kernel::BindTexture(GL_TEXTURE0, texture);
    glTexImage2D(GL_TEXTURE_2D, 0, internalFormat, width, height, 0, format, GL_FLOAT, values);
    glBindTexture(GL_TEXTURE_2D, 0);
}

void GpuVector::ReadTexels(GLuint source, int w, int h, GLenum format, float* values) {
    kernel::AttachTarget(source);
    glReadPixels(0, 0, w, h, format, GL_FLOAT, values);
}

// No GL texture is created or deleted: the previous texture goes back to the
// pool under the scratch entry.
void GpuVector::CommitTarget() {
    const GLuint old = texture;
    texture = tempTexture[0];
    g_resourcePool->ReturnTexture(tempSlot[0], old);
    tempSlot[0] = -1;
}

void GpuVector::DrawFullScreenPass() { ::DrawFullScreenPass(); }

// Reads every value back and formats them one by one into a C-heap string.
// Entries are sized as they are formatted, so no value can overflow the text.
template <typename FormatValue>
char* GpuVector::Dump(FormatValue formatValue) {
    const int count = Size();
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
    return Dump([&](char* entry, size_t size, int i, float value) {
        if (maxCount > 0 && i >= maxCount) return -1;
        const bool endOfRow = (i + 1) % width == 0;
        return std::snprintf(entry, size, endOfRow ? "%7.5f\n" : "%7.5f\t ", static_cast<double>(value));
    });
}

char* GpuVector::ToStringNonZero(int maxCount) {
    int written = 0;
    return Dump([&](char* entry, size_t size, int i, float value) {
        if (maxCount > 0 && written > maxCount) return -1;
        if (!(std::fabs(static_cast<double>(value)) > 1e-5)) return 0;
        ++written;
        return std::snprintf(entry, size, "%i:%7.5f\t ", i, static_cast<double>(value));
    });
}
