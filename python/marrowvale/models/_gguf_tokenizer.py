"""The tokenizer that a GGUF file describes in its metadata, built with the
``tokenizers`` library to give the ids of the model's own published
tokenizer.

Two kinds are read (``tokenizer.ggml.model``):

- "gpt2": byte-level BPE from the tokens and merges. The text is first
  split as the model's tokenizer splits it, which ``tokenizer.ggml.pre``
  names; the splits below are the published ones of those tokenizers.
- "llama": SentencePiece BPE from the tokens and their scores. A pair is
  merged in order of the score of the piece it makes, which is how
  SentencePiece encodes; characters outside the vocabulary fall back to
  byte tokens (``<0x41>``).

In both, the tokens marked as control tokens (``<|im_start|>``, ``<s>``) are
matched whole in the text, and a beginning-of-text token is added when
``tokenizer.ggml.add_bos_token`` says so.
"""

from __future__ import annotations

from typing import Any

import numpy as np

from ._extras import require_extra
from ._files import describe
from ._gguf_metadata import Metadata

__all__ = ["PRE_TOKENIZERS", "gguf_tokenizer"]

# The token types of the format.
NORMAL, UNKNOWN, CONTROL, USER_DEFINED, UNUSED, BYTE = 1, 2, 3, 4, 5, 6

_LLAMA3_SPLIT = (r"(?i:'s|'t|'re|'ve|'m|'ll|'d)|[^\r\n\p{L}\p{N}]?\p{L}+|\p{N}{1,3}"
                 r"| ?[^\s\p{L}\p{N}]+[\r\n]*|\s*[\r\n]+|\s+(?!\S)|\s+")
_QWEN2_SPLIT = (r"(?i:'s|'t|'re|'ve|'m|'ll|'d)|[^\r\n\p{L}\p{N}]?\p{L}+|\p{N}"
                r"| ?[^\s\p{L}\p{N}]+[\r\n]*|\s*[\r\n]+|\s+(?!\S)|\s+")

# tokenizer.ggml.pre -> how the text is split before byte-level BPE:
# "digits" (each digit alone, then GPT-2's split: SmolLM's and StarCoder's
# tokenizers), "gpt2" (GPT-2's split alone) or a split pattern.
PRE_TOKENIZERS: dict[str, str] = {
    "smollm": "digits", "starcoder": "digits", "refact": "digits", "codeshell": "digits",
    "gpt-2": "gpt2", "gpt2": "gpt2",
    "llama-bpe": _LLAMA3_SPLIT, "llama3": _LLAMA3_SPLIT, "llama-v3": _LLAMA3_SPLIT,
    "falcon3": _LLAMA3_SPLIT, "smaug-bpe": _LLAMA3_SPLIT, "dbrx": _LLAMA3_SPLIT,
    "qwen2": _QWEN2_SPLIT, "deepseek-r1-qwen": _QWEN2_SPLIT,
}
# Llama 3's tokenizer takes a piece that is a token whole, before any merge,
# and begins the text with its beginning token unless the file says not to.
_LLAMA3_RULES = frozenset({"llama-bpe", "llama3", "llama-v3", "falcon3"})


def _tokenizers() -> Any:
    return require_extra("tokenizers", "building a GGUF file's tokenizer")


def _bpe(metadata: Metadata, vocab: dict[str, int], merges: list[tuple[str, str]], **options: Any) -> Any:
    try:
        return _tokenizers().models.BPE(vocab, merges, **options)
    except Exception as exc:  # the library reports every fault as a plain Exception
        raise metadata.fail("tokenizer.ggml.merges", f"do not fit the tokens: {exc}") from None


def _byte_level(metadata: Metadata, tokens: list[str]) -> Any:
    tk = _tokenizers()
    key = "tokenizer.ggml.merges"
    merges: list[tuple[str, str]] = []
    for i, merge in enumerate(metadata.strings(key)):
        left, space, right = merge.partition(" ")
        if not space or not left or not right:
            raise metadata.fail(f"{key}[{i}]", f"{describe(merge)} is not two tokens separated by a space")
        merges.append((left, right))
    if "tokenizer.ggml.pre" not in metadata:
        raise metadata.fail("tokenizer.ggml.pre", "is missing, so how the text is split is unknown; "
                                                  "put the model's tokenizer.json beside the file")
    pre = metadata.string("tokenizer.ggml.pre")
    split = PRE_TOKENIZERS.get(pre)
    if split is None:
        raise metadata.fail("tokenizer.ggml.pre", f"{describe(pre)} is not supported; "
                                                  f"supported: {', '.join(PRE_TOKENIZERS)}")
    vocab = {token: i for i, token in enumerate(tokens)}
    tokenizer = tk.Tokenizer(_bpe(metadata, vocab, merges, ignore_merges=pre in _LLAMA3_RULES))
    pre_tokenizers = tk.pre_tokenizers
    if split == "digits":
        tokenizer.pre_tokenizer = pre_tokenizers.Sequence([
            pre_tokenizers.Digits(individual_digits=True),
            pre_tokenizers.ByteLevel(add_prefix_space=False, use_regex=True)])
    elif split == "gpt2":
        tokenizer.pre_tokenizer = pre_tokenizers.ByteLevel(add_prefix_space=False, use_regex=True)
    else:
        tokenizer.pre_tokenizer = pre_tokenizers.Sequence([
            pre_tokenizers.Split(tk.Regex(split), behavior="isolated"),
            pre_tokenizers.ByteLevel(add_prefix_space=False, use_regex=False)])
    tokenizer.decoder = tk.decoders.ByteLevel()
    return tokenizer


def _score_merges(tokens: list[str], scores: np.ndarray, types: np.ndarray) -> list[tuple[str, str]]:
    """The merges of a SentencePiece BPE vocabulary: every split of a piece
    into two pieces of the vocabulary, best score of the merged piece
    first. Only normal and user-defined pieces are ever made by merging."""
    vocab = {token: i for i, token in enumerate(tokens)}
    found: list[tuple[float, int, int, str, str]] = []
    for i, token in enumerate(tokens):
        if types[i] not in (NORMAL, USER_DEFINED):
            continue
        for cut in range(1, len(token)):
            left, right = token[:cut], token[cut:]
            if left in vocab and right in vocab:
                found.append((-float(scores[i]), i, vocab[left], left, right))
    found.sort()
    return [(left, right) for *_, left, right in found]


def _sentencepiece(metadata: Metadata, tokens: list[str], types: np.ndarray) -> Any:
    tk = _tokenizers()
    scores = metadata.numbers("tokenizer.ggml.scores", len(tokens))
    unknown = metadata.integer("tokenizer.ggml.unknown_token_id", 0, minimum=0)
    if unknown >= len(tokens):
        raise metadata.fail("tokenizer.ggml.unknown_token_id", f"({unknown}) is outside the {len(tokens)} tokens")
    merges = _score_merges(tokens, scores, types)
    vocab = {token: i for i, token in enumerate(tokens)}
    tokenizer = tk.Tokenizer(_bpe(metadata, vocab, merges, unk_token=tokens[unknown], fuse_unk=True,
                                  byte_fallback=True))
    space_prefix = metadata.flag("tokenizer.ggml.add_space_prefix", True)
    # SentencePiece writes spaces as "▁" and, by default, puts one before
    # the text, and again after each special token (the text between them
    # is normalized piece by piece), as Llama 2's published tokenizer does.
    spaces = tk.normalizers.Replace(" ", "▁")
    tokenizer.normalizer = (tk.normalizers.Sequence([tk.normalizers.Prepend("▁"), spaces])
                            if space_prefix else spaces)
    steps = [tk.decoders.Replace("▁", " "), tk.decoders.ByteFallback(), tk.decoders.Fuse()]
    if space_prefix:
        steps.append(tk.decoders.Strip(" ", 1, 0))
    tokenizer.decoder = tk.decoders.Sequence(steps)
    return tokenizer


def _token_types(metadata: Metadata, count: int) -> np.ndarray:
    if "tokenizer.ggml.token_type" not in metadata:
        return np.full(count, NORMAL)
    return metadata.numbers("tokenizer.ggml.token_type", count).astype(np.int64)


def _add_special(tokenizer: Any, metadata: Metadata, tokens: list[str], types: np.ndarray) -> None:
    tk = _tokenizers()
    control = [tk.AddedToken(tokens[i], special=True, normalized=False) for i in np.flatnonzero(types == CONTROL)]
    user = [tk.AddedToken(tokens[i], special=False, normalized=False) for i in np.flatnonzero(types == USER_DEFINED)]
    tokenizer.add_special_tokens(control)
    tokenizer.add_tokens(user)
    # Which tokens to add around the text, as the file says; SentencePiece
    # and Llama 3 vocabularies add the beginning one (when they name one)
    # unless told otherwise.
    bos = "tokenizer.ggml.bos_token_id" in metadata and (
        metadata.string("tokenizer.ggml.model") == "llama"
        or metadata.string("tokenizer.ggml.pre", "") in _LLAMA3_RULES)
    single, special = "$A", []
    for end, default in (("bos", bos), ("eos", False)):
        if metadata.flag(f"tokenizer.ggml.add_{end}_token", default):
            key = f"tokenizer.ggml.{end}_token_id"
            token_id = metadata.integer(key, minimum=0)
            if token_id >= len(tokens):
                raise metadata.fail(key, f"({token_id}) is outside the {len(tokens)} tokens")
            single = f"{tokens[token_id]} {single}" if end == "bos" else f"{single} {tokens[token_id]}"
            special.append((tokens[token_id], token_id))
    tokenizer.post_processor = tk.processors.TemplateProcessing(single=single, special_tokens=special)


def gguf_tokenizer(metadata: Metadata) -> Any:
    """The ``tokenizers.Tokenizer`` that ``metadata`` describes, or None when
    it describes none (no ``tokenizer.ggml.model``).

    Parameters
    ----------
    metadata
        A GGUF file's metadata.

    Returns
    -------
    tokenizers.Tokenizer or None

    Raises
    ------
    ValueError
        Naming the key for a tokenizer kind or pre-tokenizer that is not
        supported, or a token list, merge, score or token id that is
        missing, mistyped or out of range.
    ImportError
        When the tokenizers library is not installed.
    """
    if "tokenizer.ggml.model" not in metadata:
        return None
    kind = metadata.string("tokenizer.ggml.model")
    tokens = metadata.strings("tokenizer.ggml.tokens")
    types = _token_types(metadata, len(tokens))
    if kind == "gpt2":
        tokenizer = _byte_level(metadata, tokens)
    elif kind == "llama":
        tokenizer = _sentencepiece(metadata, tokens, types)
    else:
        raise metadata.fail("tokenizer.ggml.model", f"{describe(kind)} is not supported; supported: gpt2, llama")
    _add_special(tokenizer, metadata, tokens, types)
    return tokenizer
