#include "app/Interaction.h"

#include <GL/glew.h>

#include <GL/freeglut.h>

#include <bitset>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/FrameTiming.h"
#include "app/Scene.h"
#include "app/Window.h"
#include "app/XServer.h"
#include "gpu/FullScreenPass.h"
#include "gpu/GlPlatform.h"
#include "gpu/ResourcePool.h"
#include "gpu/ShaderProgram.h"
#include "linalg/PackedVector.h"
#include "linalg/UnpackedVector.h"

int g_aiMouseButton[3] = {0, 0, 0};
int g_iMouseX = 0;
int g_iMouseY = 0;
bool g_bRandomDrops = false;
int g_iDropFrame = 0;
bool g_bPaused = false;

namespace {

constexpr int kLeftButton = 0;
constexpr int kRightButton = 2;
constexpr int kTrackedButtons = 3;  // wheel events arrive as buttons 3 and 4
constexpr int kRandomDropInterval = 5;
constexpr float kRandomScale = 1.0f / 32767.0f;

// Keys held down now, by character and by GLUT special key code (all below 256).
std::bitset<256> g_keysDown;
std::bitset<256> g_specialKeysDown;

// Marks the key down; true when it was up, that is on a first press.
bool FirstPress(std::bitset<256>& down, int key) {
    if (key < 0 || key >= static_cast<int>(down.size())) return true;
    const bool first = !down[key];
    down[key] = true;
    return first;
}

void Release(std::bitset<256>& down, int key) {
    if (key >= 0 && key < static_cast<int>(down.size())) down[key] = false;
}

// Flat and at rest; the wave surface and right-hand side are rewritten every
// frame before use.
void ResetWater() {
    BeginRenderToTexture();
    g_pHeightLast->Fill(0.0f);
    g_pSolution->Fill(0.0f);
    g_pHeightCurrent->Fill(0.0f);
    EndRenderToTexture();
}

// An integer uniform in 0..32767 whatever the C library's RAND_MAX; the top
// value maps to 1.0, one texel beyond the grid, and drops nothing.
float RandomDropCoordinate() {
    const int value = std::rand() / (RAND_MAX / 32768 + 1);
    return static_cast<float>(value) * kRandomScale;
}

void Quit() {
    DestroyScene();
    EndProgram(0);
}

// The title follows at once rather than at the next refresh, up to a second
// later.
void TogglePause() {
    g_bPaused = !g_bPaused;
    ShowFrameRateTitle(DemoTitle());
}

}  // namespace

void Keyboard(unsigned char key, int, int) {
    switch (key) {
        case 27:
        case 'q':
        case 'Q': Quit(); break;
        case ' ': g_bRandomDrops = !g_bRandomDrops; break;
        case 'p': TogglePause(); break;
        default: break;
    }
}

void SpecialKey(int key, int, int) {
    if (key == GLUT_KEY_F1) PrintHelp();
}

void KeyPressed(unsigned char key, int x, int y) {
    if (FirstPress(g_keysDown, key)) Keyboard(key, x, y);
}

void KeyReleased(unsigned char key, int, int) { Release(g_keysDown, key); }

void SpecialKeyPressed(int key, int x, int y) {
    if (FirstPress(g_specialKeysDown, key)) SpecialKey(key, x, y);
}

void SpecialKeyReleased(int key, int, int) { Release(g_specialKeysDown, key); }

void ForgetHeldKeys() {
    g_keysDown.reset();
    g_specialKeysDown.reset();
}

bool AnyKeyHeld() { return g_keysDown.any() || g_specialKeysDown.any(); }

void PointerEntry(int state) {
    if (state == GLUT_LEFT) ForgetHeldKeys();
}

void Mouse(int button, int state, int x, int y) {
    if (button >= 0 && button < kTrackedButtons) g_aiMouseButton[button] = state == GLUT_DOWN ? 1 : 0;
    if (g_aiMouseButton[kRightButton] > 0) ResetWater();
    g_iMouseX = x;
    g_iMouseY = y;
}

void Motion(int x, int y) {
    if (g_aiMouseButton[kLeftButton] > 0) g_aiMouseButton[kLeftButton] = 2;
    if (g_aiMouseButton[kRightButton] > 0) g_aiMouseButton[kRightButton] = 2;
    glutPostRedisplay();
    g_iMouseX = x;
    g_iMouseY = y;
}

namespace {

const char* const kDropFragmentSource = R"(void main(void)
{
gl_FragColor = vec4(5.0);
}
)";

}  // namespace

ShaderProgram* CreateDropProgram() {
    return new ShaderProgram(kPassThroughVertexSource, kDropFragmentSource, kShaderSourceText);
}

void AddDrop(float x, float y) {
    TextureDesc desc;
    g_pHeightCurrent->GetTextureDesc(&desc);
    glViewport(0, 0, desc.width, desc.height);
    BeginRenderToTexture();
    AttachPassTarget(g_pHeightCurrent->Texture());
    g_pDropProgram->Bind();
    // A one-pixel point lands at (x*w, y*h) of the target: exactly one texel.
    DrawPoint((x - 0.5f) * 2.0f, (y - 0.5f) * 2.0f);
    g_pDropProgram->Unbind();
    EndRenderToTexture();
}

void ApplyDrops() {
    if (g_bRandomDrops && !g_bPaused) {
        if (g_iDropFrame % kRandomDropInterval == 0) {
            const float x = RandomDropCoordinate();
            const float y = RandomDropCoordinate();
            AddDrop(x, y);
        }
        ++g_iDropFrame;
    }
    if (g_aiMouseButton[kLeftButton] > 0) {
        // A window reported with zero width or height has no pointer position
        // on the grid.
        const float x = static_cast<float>(g_iMouseX) / static_cast<float>(g_iWindowWidth);
        const float y = 1.0f - static_cast<float>(g_iMouseY) / static_cast<float>(g_iWindowHeight);
        if (std::isfinite(x) && std::isfinite(y)) AddDrop(x, y);
    }
}

const char* DemoTitle() {
    static const std::string paused = std::string(g_strTitle) + " (paused)";
    return g_bPaused ? paused.c_str() : g_strTitle;
}

// The first six lines are the original help text, kept word for word; the
// lines after them cover the inputs it leaves out.
void PrintHelp() {
    std::printf(
        "\n%s\n==================================\n\n   q, ESC : Quit\n   F1     : print this help text\n"
        "   Q      : Quit\n"
        "   space  : random drops on / off\n"
        "   p      : pause / resume the water\n"
        "   left mouse button  : drops under the pointer (hold, drag)\n"
        "   right mouse button : flat water again\n",
        g_strTitle);
    std::fflush(stdout);  // visible at once when standard output is a pipe
}
