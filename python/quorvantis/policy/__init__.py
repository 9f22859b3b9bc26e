"""Treatment rules learned from rewards: exact shallow policy trees."""

from .policy_tree import PolicyTree, PolicyValue

__all__ = ["PolicyTree", "PolicyValue"]
