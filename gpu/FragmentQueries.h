#pragma once

#include <GL/glew.h>

#include <vector>

// Numbered queries, each saying whether any fragment of the draws between
// its Begin and End survived. On the desktop they are GL occlusion queries.
// WebGL 2 keeps a query's result back until the page's script has returned
// to the browser, which a call that needs the answer at once never does;
// there every query is a texel of a texture of its own: Begin redirects the
// draw into that texel, cleared first, and the answer is read back from it.
// The drawing program must then write a colour whose red is not zero.
class FragmentQueries {
public:
    FragmentQueries();
    ~FragmentQueries();

    FragmentQueries(const FragmentQueries&) = delete;
    FragmentQueries& operator=(const FragmentQueries&) = delete;

    // Makes queries 0..count-1 now, so that later draws make no GL object.
    void Reserve(int count);
    // Brackets the draws of query i; one query is open at a time.
    void Begin(int i);
    void End();
    // Waits for query i: whether a fragment survived.
    bool AnySurvived(int i);
    // The GL query behind i, for conditional rendering; 0 where there is none.
    GLuint Name(int i) const;

private:
    std::vector<GLuint> m_queries;
    unsigned m_generation;  // of the framework whose context holds the queries
    GLuint m_texture = 0;   // the texels standing in for queries, where they do
    int m_textureWidth = 0;
    int m_textureHeight = 0;
};
