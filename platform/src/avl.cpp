// Ordered tree stand-in: an AVL tree of caller-owned records.
//
// Invariants, which avl_sim_check verifies:
//  - in-order traversal visits records in strictly ascending cmp order;
//  - every node's height is 1 + the larger child height (an absent child
//    counts 0), and the two child heights differ by at most 1;
//  - every child's parent pointer names its parent, and the root's is NULL;
//  - count equals the number of nodes.
// Parent pointers let the walk and the retracing after an update run without
// a stack, so a walk costs no memory whatever the tree's size.

#include <atomic>
#include <cstdint>
#include <cstdlib>

#include "avl.h"
#include "platform_sim.h"

namespace {

struct Node {
    Node *left;
    Node *right;
    Node *parent;
    void *record;
    int height;
};

std::atomic<bool> fail_next_create{false};
std::atomic<bool> fail_next_insert{false};
std::atomic<bool> fail_next_delete{false};

int height_of(const Node *n) {
    return n ? n->height : 0;
}

int balance_of(const Node *n) {
    return height_of(n->left) - height_of(n->right);
}

void update_height(Node *n) {
    int l = height_of(n->left);
    int r = height_of(n->right);
    n->height = 1 + (l > r ? l : r);
}

Node *leftmost(Node *n) {
    while (n->left)
        n = n->left;
    return n;
}

Node *successor(Node *n) {
    if (n->right)
        return leftmost(n->right);
    Node *p = n->parent;
    while (p && n == p->right) {
        n = p;
        p = p->parent;
    }
    return p;
}

} // namespace

struct avl_tree {
    avl_compare_fn cmp;
    Node *root;
    uint32_t count;
};

namespace {

// Points whatever referred to old_child (its parent's link, or the root) at
// new_child instead.
void replace_child(avl_tree *t, Node *parent, Node *old_child, Node *new_child) {
    if (!parent)
        t->root = new_child;
    else if (parent->left == old_child)
        parent->left = new_child;
    else
        parent->right = new_child;
    if (new_child)
        new_child->parent = parent;
}

Node *rotate_left(avl_tree *t, Node *x) {
    Node *y = x->right;
    x->right = y->left;
    if (y->left)
        y->left->parent = x;
    replace_child(t, x->parent, x, y);
    y->left = x;
    x->parent = y;
    update_height(x);
    update_height(y);
    return y;
}

Node *rotate_right(avl_tree *t, Node *x) {
    Node *y = x->left;
    x->left = y->right;
    if (y->right)
        y->right->parent = x;
    replace_child(t, x->parent, x, y);
    y->right = x;
    x->parent = y;
    update_height(x);
    update_height(y);
    return y;
}

// Restores the balance of the subtree at n, whose children are balanced;
// returns the subtree's new root.
Node *rebalance(avl_tree *t, Node *n) {
    update_height(n);
    int b = balance_of(n);
    if (b > 1) {
        if (balance_of(n->left) < 0)
            rotate_left(t, n->left);
        return rotate_right(t, n);
    }
    if (b < -1) {
        if (balance_of(n->right) > 0)
            rotate_right(t, n->right);
        return rotate_left(t, n);
    }
    return n;
}

// After a change below n, fixes heights and balance from n up to the root.
void retrace(avl_tree *t, Node *n) {
    while (n)
        n = rebalance(t, n)->parent;
}

Node *find_node(const avl_tree *t, const void *key) {
    Node *n = t->root;
    while (n) {
        int c = t->cmp(key, n->record);
        if (c == 0)
            return n;
        n = c < 0 ? n->left : n->right;
    }
    return nullptr;
}

// Unlinks n, which has at most one child, and retraces from its parent.
void unlink_node(avl_tree *t, Node *n) {
    Node *child = n->left ? n->left : n->right;
    Node *parent = n->parent;
    replace_child(t, parent, n, child);
    retrace(t, parent);
}

struct CheckState {
    const avl_tree *tree;
    const Node *prev;
    uint32_t nodes;
    bool ok;
};

// Deeper than any balanced tree of 2^32 nodes can be: stops a corrupted
// tree from exhausting the stack.
constexpr int max_check_depth = 64;

int check_subtree(CheckState &s, const Node *n, const Node *parent, int depth) {
    if (!n || !s.ok)
        return 0;
    if (depth > max_check_depth || n->parent != parent) {
        s.ok = false;
        return 0;
    }
    int l = check_subtree(s, n->left, n, depth + 1);
    if (s.prev && s.tree->cmp(s.prev->record, n->record) >= 0)
        s.ok = false;
    s.prev = n;
    s.nodes++;
    int r = check_subtree(s, n->right, n, depth + 1);
    int h = 1 + (l > r ? l : r);
    if (l - r > 1 || r - l > 1 || n->height != h)
        s.ok = false;
    return h;
}

} // namespace

extern "C" {

avl_tree_t *avl_create(avl_compare_fn cmp, void *reserved) {
    (void)reserved;
    if (!cmp || fail_next_create.exchange(false))
        return nullptr;
    auto *t = static_cast<avl_tree *>(std::malloc(sizeof(avl_tree)));
    if (!t)
        return nullptr;
    *t = avl_tree{cmp, nullptr, 0};
    return t;
}

int avl_insert(avl_tree_t *tree, void *record) {
    if (!tree || fail_next_insert.exchange(false))
        return -1;
    Node *parent = nullptr;
    Node **link = &tree->root;
    while (*link) {
        parent = *link;
        int c = tree->cmp(record, parent->record);
        if (c == 0)
            return -1;
        link = c < 0 ? &parent->left : &parent->right;
    }
    auto *n = static_cast<Node *>(std::malloc(sizeof(Node)));
    if (!n)
        return -1;
    *n = Node{nullptr, nullptr, parent, record, 1};
    *link = n;
    tree->count++;
    retrace(tree, parent);
    return 0;
}

void *avl_find(avl_tree_t *tree, const void *key) {
    if (!tree)
        return nullptr;
    Node *n = find_node(tree, key);
    return n ? n->record : nullptr;
}

void *avl_delete(avl_tree_t *tree, const void *key) {
    if (!tree || fail_next_delete.exchange(false))
        return nullptr;
    Node *n = find_node(tree, key);
    if (!n)
        return nullptr;
    void *record = n->record;
    // A node with two children takes its successor's record, and the
    // successor's node (which has no left child) is the one removed.
    Node *victim = n;
    if (n->left && n->right) {
        victim = leftmost(n->right);
        n->record = victim->record;
    }
    unlink_node(tree, victim);
    std::free(victim);
    tree->count--;
    return record;
}

int avl_walk(avl_tree_t *tree, avl_walk_fn fn, void *ctx) {
    if (!tree || !fn || !tree->root)
        return 0;
    for (Node *n = leftmost(tree->root); n;) {
        Node *next = successor(n);
        fn(n->record, ctx);
        n = next;
    }
    return 0;
}

uint32_t avl_count(const avl_tree_t *tree) {
    return tree ? tree->count : 0;
}

void avl_sim_fail_next_create(void) {
    fail_next_create = true;
}
void avl_sim_fail_next_insert(void) {
    fail_next_insert = true;
}
void avl_sim_fail_next_delete(void) {
    fail_next_delete = true;
}

int avl_sim_check(const avl_tree_t *tree) {
    if (!tree)
        return -1;
    CheckState s{tree, nullptr, 0, true};
    int h = check_subtree(s, tree->root, nullptr, 1);
    return s.ok && s.nodes == tree->count ? h : -1;
}

void avl_sim_destroy(avl_tree_t *tree) {
    if (!tree)
        return;
    // Post-order without a stack: descend to a leaf, free it, and continue
    // from its parent with the leaf's link cleared.
    Node *n = tree->root;
    while (n) {
        if (n->left) {
            n = n->left;
        } else if (n->right) {
            n = n->right;
        } else {
            Node *parent = n->parent;
            if (parent)
                (parent->left == n ? parent->left : parent->right) = nullptr;
            std::free(n);
            n = parent;
        }
    }
    std::free(tree);
}

} // extern "C"
