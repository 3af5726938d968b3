#pragma once

#include <stdint.h>

// Red-black tree algorithms over any node type that ends in these links:
//   Node* m_pParent; Node* m_pLeft; Node* m_pRight; uint8_t m_nColor;  (1 red, 0 black)
// Keys left of a node are less than its key; equal keys never coexist.
namespace ZTree
{
enum : uint8_t
{
    Black = 0,
    Red = 1
};

// Search key held by a caller (for instance a C string against string-keyed nodes).
template <class Node>
class Comparator
{
public:
    virtual bool IsEqual(const Node* pNode) const = 0;  // node's key equals the held key
    virtual bool IsLess(const Node* pNode) const = 0;   // held key is less than the node's key

protected:
    ~Comparator() {}
};

// A child link by side (false: left, true: right). The rebalancing steps come in mirror pairs;
// each is written once for a side fixed at compile time, so the mirror costs nothing at run time.
template <bool bRight, class Node>
Node*& Child(Node* p)
{
    return bRight ? p->m_pRight : p->m_pLeft;
}

template <class Node>
Node* Find(Node* pRoot, const Comparator<Node>& cmp)
{
    Node* p = pRoot;
    while (p) {
        if (cmp.IsEqual(p))
            return p;
        p = cmp.IsLess(p) ? p->m_pLeft : p->m_pRight;
    }
    return nullptr;
}

// The node furthest down one side of the subtree at p (null for an empty one).
template <bool bRight, class Node>
Node* Outermost(Node* p)
{
    if (p)
        while (Child<bRight>(p))
            p = Child<bRight>(p);
    return p;
}

template <class Node>
Node* First(Node* p)
{
    return Outermost<false>(p);
}

template <class Node>
Node* Last(Node* p)
{
    return Outermost<true>(p);
}

// In-order successor; null after the last node.
template <class Node>
Node* Next(Node* p)
{
    if (p->m_pRight)
        return First(p->m_pRight);
    Node* pParent = p->m_pParent;
    while (pParent && p == pParent->m_pRight) {
        p = pParent;
        pParent = p->m_pParent;
    }
    return pParent;
}

template <class Node>
bool IsRed(const Node* p)
{
    return p && p->m_nColor == Red;
}

// Puts pNew where pOld hangs below pParent (at the root when pParent is null).
template <class Node>
void ReplaceChild(Node*& pRoot, Node* pParent, Node* pOld, Node* pNew)
{
    if (!pParent)
        pRoot = pNew;
    else if (pOld == pParent->m_pLeft)
        pParent->m_pLeft = pNew;
    else
        pParent->m_pRight = pNew;
}

// Moves x down to its bRight side: its child on the other side takes its place.
template <bool bRight, class Node>
void Rotate(Node*& pRoot, Node* x)
{
    Node* y = Child<!bRight>(x);
    Child<!bRight>(x) = Child<bRight>(y);
    if (Child<bRight>(y))
        Child<bRight>(y)->m_pParent = x;
    y->m_pParent = x->m_pParent;
    ReplaceChild(pRoot, x->m_pParent, x, y);
    Child<bRight>(y) = x;
    x->m_pParent = y;
}

template <class Node>
void LinkNode(Node*& pRoot, Node* n, Node* pParent, bool bLeft);

// Links n; returns null, or the node that already holds n's key (n is then left unlinked).
// less(a, b): key of a is less than key of b; equal when neither is less.
template <class Node, class Less>
Node* InsertNode(Node*& pRoot, Node* n, Less less)
{
    Node* pParent = nullptr;
    bool bLeft = false;
    for (Node* p = pRoot; p;) {
        bLeft = less(n, p);
        if (!bLeft && !less(p, n))
            return p;
        pParent = p;
        p = bLeft ? p->m_pLeft : p->m_pRight;
    }
    LinkNode(pRoot, n, pParent, bLeft);
    return nullptr;
}

// One step of the repair after linking the red node n whose parent is red and hangs on the
// bRight side of its own parent; returns the node the repair goes on with.
template <bool bRight, class Node>
Node* InsertFixStep(Node*& pRoot, Node* n)
{
    Node* pParentNode = n->m_pParent;
    Node* g = pParentNode->m_pParent;
    Node* pUncle = Child<!bRight>(g);
    if (IsRed(pUncle)) {
        pParentNode->m_nColor = Black;
        pUncle->m_nColor = Black;
        g->m_nColor = Red;
        return g;
    }
    if (n == Child<!bRight>(pParentNode)) {
        n = pParentNode;
        Rotate<bRight>(pRoot, n);
    }
    n->m_pParent->m_nColor = Black;
    g->m_nColor = Red;
    Rotate<!bRight>(pRoot, g);
    return n;
}

// Links n as the left or right child of pParent (the root when pParent is null), where a walk
// of the tree found its place, and rebalances.
template <class Node>
void LinkNode(Node*& pRoot, Node* n, Node* pParent, bool bLeft)
{
    n->m_pLeft = n->m_pRight = nullptr;
    n->m_pParent = pParent;
    n->m_nColor = Red;
    if (!pParent) {
        pRoot = n;
        n->m_nColor = Black;
        return;
    }
    if (bLeft)
        pParent->m_pLeft = n;
    else
        pParent->m_pRight = n;

    while (n != pRoot && IsRed(n->m_pParent)) {
        Node* pParentNode = n->m_pParent;
        if (pParentNode == pParentNode->m_pParent->m_pLeft)
            n = InsertFixStep<false>(pRoot, n);
        else
            n = InsertFixStep<true>(pRoot, n);
    }
    pRoot->m_nColor = Black;
}

// One step of the repair after unlinking a black node: x (possibly null) is short of one black
// and hangs on the bRight side of xParent. Moves x and xParent up, or ends the repair by
// setting x to the root.
template <bool bRight, class Node>
void RemoveFixStep(Node*& pRoot, Node*& x, Node*& xParent)
{
    Node* w = Child<!bRight>(xParent);
    if (IsRed(w)) {
        w->m_nColor = Black;
        xParent->m_nColor = Red;
        Rotate<bRight>(pRoot, xParent);
        w = Child<!bRight>(xParent);
    }
    if (!IsRed(w->m_pLeft) && !IsRed(w->m_pRight)) {
        w->m_nColor = Red;
        x = xParent;
        xParent = x->m_pParent;
        return;
    }
    if (!IsRed(Child<!bRight>(w))) {
        Child<bRight>(w)->m_nColor = Black;
        w->m_nColor = Red;
        Rotate<!bRight>(pRoot, w);
        w = Child<!bRight>(xParent);
    }
    w->m_nColor = xParent->m_nColor;
    xParent->m_nColor = Black;
    Child<!bRight>(w)->m_nColor = Black;
    Rotate<bRight>(pRoot, xParent);
    x = pRoot;
}

// Takes z out of the tree. When z has two children its in-order successor's node is the one
// unlinked: its payload is first handed to z with copy(z, successor), so z stays in place holding
// the following entry. Returns the unlinked node.
template <class Node, class CopyPayload>
Node* RemoveNode(Node*& pRoot, Node* z, CopyPayload copy)
{
    Node* y = (!z->m_pLeft || !z->m_pRight) ? z : First(z->m_pRight);
    Node* x = y->m_pLeft ? y->m_pLeft : y->m_pRight;
    Node* xParent = y->m_pParent;
    if (x)
        x->m_pParent = xParent;
    ReplaceChild(pRoot, xParent, y, x);

    if (y != z)
        copy(z, y);

    if (y->m_nColor == Black) {
        while (x != pRoot && !IsRed(x)) {
            if (x == xParent->m_pLeft)
                RemoveFixStep<false>(pRoot, x, xParent);
            else
                RemoveFixStep<true>(pRoot, x, xParent);
        }
        if (x)
            x->m_nColor = Black;
    }
    y->m_pLeft = y->m_pRight = y->m_pParent = nullptr;
    return y;
}
}  // namespace ZTree
