// Median of any odd kernel size, kept up to date while the window slides.
//
// The window's k*k samples sit in a doubly linked list in ascending order,
// with a pointer to the median node and a balance: the number of nodes after
// the median minus the number before it. The window sweeps the image in
// serpentine order (row 0 left to right, row 1 right to left, ...), so every
// move, also from one row to the next, replaces exactly one line of k samples:
// each leaving node is unlinked, takes the entering sample and is re-inserted
// in order. The median moves one node whenever the balance reaches +-2.
//
// Node storage: window position (col, row), in image coordinates that reach
// r = (k - 1) / 2 beyond the border, owns the node at slot
// ((row + r) mod k, (col + r) mod k). A leaving and its entering position are
// k apart, so they share a slot: a sliding window never needs more than k*k
// nodes and no position grid.
#include <cstdint>
#include <exception>
#include <vector>

#include "common/nx_log.h"
#include "imgproc/nx_filter.h"

namespace {

struct Node {
    Node *prev;  // the head's prev is the tail
    Node *next;  // null at the tail
    uint32_t value;
    int col;
    int row;
};

class RunningMedian {
  public:
    // Allocates the k*k nodes; throws when that is not possible.
    RunningMedian(const uint16_t *src, int w, int h, int k)
        : src_(src), w_(w), h_(h), k_(k), r_((k - 1) / 2) {
        size_t side = static_cast<size_t>(k);
        nodes_.resize(side * side);
    }

    void run(uint16_t *dst) {
        for (int row = -r_; row <= r_; ++row)
            for (int col = -r_; col <= r_; ++col)
                place(slot(col, row), col, row);
        int x = 0;
        for (int y = 0; y < h_; ++y) {
            if (y > 0) {
                for (int col = x - r_; col <= x + r_; ++col)
                    replace(slot(col, y - 1 - r_), col, y + r_);
            }
            int step = y % 2 == 0 ? 1 : -1;
            for (int i = 0; i < w_; ++i, x += step) {
                dst[static_cast<size_t>(y) * static_cast<size_t>(w_) + static_cast<size_t>(x)] =
                    static_cast<uint16_t>(median_->value);
                if (i + 1 == w_) break;
                int leaving = x - step * r_;
                int entering = x + step * (r_ + 1);
                for (int row = y - r_; row <= y + r_; ++row)
                    replace(slot(leaving, row), entering, row);
            }
        }
    }

  private:
    uint32_t sample(int col, int row) const {
        col = col < 0 ? 0 : (col >= w_ ? w_ - 1 : col);
        row = row < 0 ? 0 : (row >= h_ ? h_ - 1 : row);
        return src_[static_cast<size_t>(row) * static_cast<size_t>(w_) + static_cast<size_t>(col)];
    }

    Node *slot(int col, int row) {
        size_t r = static_cast<size_t>((row + r_) % k_);
        size_t c = static_cast<size_t>((col + r_) % k_);
        return &nodes_[r * static_cast<size_t>(k_) + c];
    }

    void place(Node *n, int col, int row) {
        n->value = sample(col, row);
        n->col = col;
        n->row = row;
        insert(n);
    }

    void replace(Node *n, int col, int row) {
        remove(n);
        place(n, col, row);
    }

    void insert(Node *n) {
        if (head_ == nullptr) {
            n->prev = n;
            n->next = nullptr;
            head_ = median_ = n;
            balance_ = 0;
            return;
        }
        if (n->value < median_->value) {
            // Before the first node greater than the value: that node is the
            // median or lies before it.
            Node *q = median_;
            while (q != head_ && q->prev->value > n->value)
                q = q->prev;
            link_before(n, q);
            --balance_;
        } else {
            Node *q = median_->next;
            while (q != nullptr && q->value <= n->value)
                q = q->next;
            if (q != nullptr) {
                link_before(n, q);
            } else {
                link_tail(n);
            }
            ++balance_;
        }
        rebalance();
    }

    void remove(Node *n) {
        if (n == median_) {
            median_ = n->next;
            --balance_;
        } else if (n->value > median_->value) {
            --balance_;
        } else if (n->value < median_->value) {
            ++balance_;
        } else if (follows_median(n)) {
            --balance_;
        } else {
            ++balance_;
        }
        unlink(n);
        rebalance();
    }

    bool follows_median(const Node *n) const {
        for (const Node *q = median_->next; q != nullptr && q->value == n->value; q = q->next)
            if (q == n) return true;
        return false;
    }

    void link_before(Node *n, Node *q) {
        n->next = q;
        n->prev = q->prev;
        if (q == head_) {
            head_ = n;
        } else {
            q->prev->next = n;
        }
        q->prev = n;
    }

    void link_tail(Node *n) {
        Node *tail = head_->prev;
        tail->next = n;
        n->prev = tail;
        n->next = nullptr;
        head_->prev = n;
    }

    void unlink(Node *n) {
        if (n == head_) {
            head_ = n->next;
            if (head_ != nullptr) head_->prev = n->prev;
            return;
        }
        n->prev->next = n->next;
        if (n->next != nullptr) {
            n->next->prev = n->prev;
        } else {
            head_->prev = n->prev;
        }
    }

    void rebalance() {
        if (balance_ == 2) {
            median_ = median_->next;
            balance_ = 0;
        } else if (balance_ == -2) {
            median_ = median_->prev;
            balance_ = 0;
        }
    }

    const uint16_t *src_;
    int w_;
    int h_;
    int k_;
    int r_;
    std::vector<Node> nodes_;
    Node *head_ = nullptr;
    Node *median_ = nullptr;
    int balance_ = 0;
};

bool kernel_ok(int w, int h, int k) {
    return k > 2 && k % 2 == 1 && k < 2LL * w && k < 2LL * h;
}

}  // namespace

extern "C" {

void nx_median2d_u16(uint16_t *dst, const uint16_t *src, int w, int h, int k) {
    if (k == 3) return nx_median2d_u16_k3(dst, src, w, h);
    if (k == 5) return nx_median2d_u16_k5(dst, src, w, h);
    if (dst == nullptr || src == nullptr || !kernel_ok(w, h, k)) {
        NX_ERR("nx_median2d_u16", "[%s]  wrong parameter:w/h/kernel=%d/%d/%d\n", w, h, k);
        return;
    }
    try {
        RunningMedian median(src, w, h, k);
        median.run(dst);
    } catch (const std::exception &) {
        // Only the node allocation throws, before anything is written.
        NX_ERR("nx_median2d_u16", "[%s] malloc failed\n");
    }
}

}  // extern "C"
