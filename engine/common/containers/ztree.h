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

template <class Node>
Node* First(Node* p)
{
    if (p)
        while (p->m_pLeft)
            p = p->m_pLeft;
    return p;
}

template <class Node>
Node* Last(Node* p)
{
    if (p)
        while (p->m_pRight)
            p = p->m_pRight;
    return p;
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

template <class Node>
void RotateLeft(Node*& pRoot, Node* x)
{
    Node* y = x->m_pRight;
    x->m_pRight = y->m_pLeft;
    if (y->m_pLeft)
        y->m_pLeft->m_pParent = x;
    y->m_pParent = x->m_pParent;
    if (!x->m_pParent)
        pRoot = y;
    else if (x == x->m_pParent->m_pLeft)
        x->m_pParent->m_pLeft = y;
    else
        x->m_pParent->m_pRight = y;
    y->m_pLeft = x;
    x->m_pParent = y;
}

template <class Node>
void RotateRight(Node*& pRoot, Node* x)
{
    Node* y = x->m_pLeft;
    x->m_pLeft = y->m_pRight;
    if (y->m_pRight)
        y->m_pRight->m_pParent = x;
    y->m_pParent = x->m_pParent;
    if (!x->m_pParent)
        pRoot = y;
    else if (x == x->m_pParent->m_pRight)
        x->m_pParent->m_pRight = y;
    else
        x->m_pParent->m_pLeft = y;
    y->m_pRight = x;
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
        Node* g = pParentNode->m_pParent;
        if (pParentNode == g->m_pLeft) {
            Node* pUncle = g->m_pRight;
            if (IsRed(pUncle)) {
                pParentNode->m_nColor = Black;
                pUncle->m_nColor = Black;
                g->m_nColor = Red;
                n = g;
                continue;
            }
            if (n == pParentNode->m_pRight) {
                n = pParentNode;
                RotateLeft(pRoot, n);
            }
            n->m_pParent->m_nColor = Black;
            g->m_nColor = Red;
            RotateRight(pRoot, g);
        } else {
            Node* pUncle = g->m_pLeft;
            if (IsRed(pUncle)) {
                pParentNode->m_nColor = Black;
                pUncle->m_nColor = Black;
                g->m_nColor = Red;
                n = g;
                continue;
            }
            if (n == pParentNode->m_pLeft) {
                n = pParentNode;
                RotateRight(pRoot, n);
            }
            n->m_pParent->m_nColor = Black;
            g->m_nColor = Red;
            RotateLeft(pRoot, g);
        }
    }
    pRoot->m_nColor = Black;
    return;
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
    if (!xParent)
        pRoot = x;
    else if (y == xParent->m_pLeft)
        xParent->m_pLeft = x;
    else
        xParent->m_pRight = x;

    if (y != z)
        copy(z, y);

    if (y->m_nColor == Black) {
        while (x != pRoot && !IsRed(x)) {
            if (x == xParent->m_pLeft) {
                Node* w = xParent->m_pRight;
                if (IsRed(w)) {
                    w->m_nColor = Black;
                    xParent->m_nColor = Red;
                    RotateLeft(pRoot, xParent);
                    w = xParent->m_pRight;
                }
                if (!IsRed(w->m_pLeft) && !IsRed(w->m_pRight)) {
                    w->m_nColor = Red;
                    x = xParent;
                    xParent = x->m_pParent;
                    continue;
                }
                if (!IsRed(w->m_pRight)) {
                    w->m_pLeft->m_nColor = Black;
                    w->m_nColor = Red;
                    RotateRight(pRoot, w);
                    w = xParent->m_pRight;
                }
                w->m_nColor = xParent->m_nColor;
                xParent->m_nColor = Black;
                w->m_pRight->m_nColor = Black;
                RotateLeft(pRoot, xParent);
                x = pRoot;
                break;
            } else {
                Node* w = xParent->m_pLeft;
                if (IsRed(w)) {
                    w->m_nColor = Black;
                    xParent->m_nColor = Red;
                    RotateRight(pRoot, xParent);
                    w = xParent->m_pLeft;
                }
                if (!IsRed(w->m_pLeft) && !IsRed(w->m_pRight)) {
                    w->m_nColor = Red;
                    x = xParent;
                    xParent = x->m_pParent;
                    continue;
                }
                if (!IsRed(w->m_pLeft)) {
                    w->m_pRight->m_nColor = Black;
                    w->m_nColor = Red;
                    RotateLeft(pRoot, w);
                    w = xParent->m_pLeft;
                }
                w->m_nColor = xParent->m_nColor;
                xParent->m_nColor = Black;
                w->m_pLeft->m_nColor = Black;
                RotateRight(pRoot, xParent);
                x = pRoot;
                break;
            }
        }
        if (x)
            x->m_nColor = Black;
    }
    y->m_pLeft = y->m_pRight = y->m_pParent = nullptr;
    return y;
}
}  // namespace ZTree
