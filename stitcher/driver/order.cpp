#include "stitcher/driver/order.h"

#include "stitcher/pipeline/keloerror.h"
#include "stitcher/pipeline/memory.h"
#include "stitcher/script/image_desc.h"

#include <cstring>
#include <string>
#include <vector>

static const char *const msg_reordered = "Project reordered to:\n";

int in_order(int number, int count, const int *order)
{
    for (int i = count - 1; i >= 0; i--)
        if (order[i] == number)
            return 1;
    return 0;
}

// The image not yet taken with the smallest key; only a strictly smaller
// key replaces the choice, so the lower position wins on ties.
static int min_untaken(const image_desc *images, const std::vector<char> &taken, int n, int irectangle::*key)
{
    int best = 0;
    bool found = false;
    for (int i = 0; i < n; i++) {
        if (taken[i])
            continue;
        if (!found || images[i].dest_rect.*key < images[best].dest_rect.*key)
            best = i;
        found = true;
    }
    return best;
}

static int min_rect(const image_desc *images, const int *order, int count, int n, int irectangle::*key)
{
    std::vector<char> taken(static_cast<size_t>(n), 0);
    for (int i = 0; i < count; i++)
        taken[order[i]] = 1;
    return min_untaken(images, taken, n, key);
}

int min_rect_x(const image_desc *images, const int *order, int count, int n)
{
    return min_rect(images, order, count, n, &irectangle::x);
}

int min_rect_y(const image_desc *images, const int *order, int count, int n)
{
    return min_rect(images, order, count, n, &irectangle::y);
}

image_desc *reorder(image_desc *images, const int *order, int n)
{
    image_desc *out = static_cast<image_desc *>(checked_malloc(sizeof(image_desc) * size_t(n)));
    for (int i = 0; i < n; i++) {
        memcpy(&out[i], &images[order[i]], sizeof(image_desc));
        out[i].index = i;
    }
    aligned_free(images);
    return out;
}

void print_order(const int *order, int n)
{
    print_message(msg_reordered);
    std::string line;
    for (int i = 0; i < n; i++) {
        line += std::to_string(order[i]) + "  ";
        if (i % 10 == 9 || i == n - 1) {
            print_message("%s\n", line.c_str());
            line.clear();
        }
    }
}

// The first image stays first; the others follow by their key. The order
// lives on the heap: an image count is not bounded by the stack.
static image_desc *sweep(image_desc *images, int n, int irectangle::*key)
{
    kassert(n >= 1);
    std::vector<int> order(static_cast<size_t>(n));
    std::vector<char> taken(static_cast<size_t>(n), 0);
    order[0] = 0;
    taken[0] = 1;
    for (int p = 1; p < n; p++) {
        order[p] = min_untaken(images, taken, n, key);
        taken[order[p]] = 1;
    }
    print_order(order.data(), n);
    return reorder(images, order.data(), n);
}

image_desc *optimize_order(image_desc *images, int n) { return sweep(images, n, &irectangle::x); }

image_desc *optimize_order_2(image_desc *images, int n) { return sweep(images, n, &irectangle::y); }
