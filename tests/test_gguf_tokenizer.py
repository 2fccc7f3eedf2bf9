"""Tokenizers built from a GGUF file's metadata: byte-level BPE with each
supported pre-tokenizer and SentencePiece BPE with byte fallback, checked
against ids worked out by hand on small vocabularies, against transformers'
own conversion where it is installed, and on the trained model's vocabulary."""

import importlib.util
from pathlib import Path

import pytest

from model_files import WORDS, tiny_model, write_gguf, write_tokenizer

gguf = pytest.importorskip("gguf", reason="the 'eval' extra (gguf) is not installed")
pytest.importorskip("tokenizers", reason="the 'eval' extra (tokenizers) is not installed")

from marrowvale.models import load_model  # noqa: E402
from marrowvale.models._gguf_file import GGUFFile  # noqa: E402
from marrowvale.models._gguf_tokenizer import gguf_tokenizer  # noqa: E402

ARRAY, STRING = gguf.GGUFValueType.ARRAY, gguf.GGUFValueType.STRING
NORMAL, UNKNOWN, CONTROL, BYTE = 1, 2, 3, 6


def byte_alphabet() -> dict[int, str]:
    """GPT-2's spelling of bytes: printable Latin-1 bytes as themselves,
    the others as the characters from U+0100 on, in order."""
    printable = {*range(ord("!"), ord("~") + 1), *range(ord("¡"), ord("¬") + 1), *range(ord("®"), ord("ÿ") + 1)}
    others = iter(range(256, 512))
    return {b: chr(b) if b in printable else chr(next(others)) for b in range(256)}


SPELL = byte_alphabet()
SPACE, NEWLINE = SPELL[ord(" ")], SPELL[ord("\n")]
# Merges in the byte-level spelling ("Ġ" is a space, "Ċ" a newline), best first.
BYTE_MERGES = [f"{SPACE} t", "h e", f"{SPACE}t he", "1 2", "12 3", "' M", f"{NEWLINE} {NEWLINE}", "c a", "ca t",
               f"{SPACE} cat", f"{SPACE} {SPACE}"]
BYTE_TOKENS = [SPELL[b] for b in range(256)] + ["".join(m.split(" ")) for m in BYTE_MERGES] + ["<|end|>"]
END = len(BYTE_TOKENS) - 1


def tokenizer_file(path: Path, entries: dict) -> Path:
    """A GGUF file of metadata alone."""
    writer = gguf.GGUFWriter(str(path), "llama")
    for key, value in entries.items():
        if isinstance(value, list):
            writer.add_array(key, value)
        elif isinstance(value, bool):
            writer.add_bool(key, value)
        elif isinstance(value, int):
            writer.add_uint32(key, value)
        else:
            writer.add_string(key, value)
    writer.write_header_to_file(), writer.write_kv_data_to_file(), writer.write_tensors_to_file()
    writer.close()
    return path


def byte_level(tmp_path: Path, pre: str, **extra) -> dict:
    return {"tokenizer.ggml.model": "gpt2", "tokenizer.ggml.pre": pre, "tokenizer.ggml.tokens": BYTE_TOKENS,
            "tokenizer.ggml.token_type": [NORMAL] * END + [CONTROL], "tokenizer.ggml.merges": BYTE_MERGES, **extra}


def build(tmp_path: Path, entries: dict):
    return gguf_tokenizer(GGUFFile(tokenizer_file(tmp_path / "tokenizer.gguf", entries)).metadata)


def spelled(tokenizer, text: str) -> list[str]:
    return [BYTE_TOKENS[i] for i in tokenizer.encode(text).ids]


class TestByteLevel:
    # Each pre-tokenizer on strings where they differ, worked out by hand.
    @pytest.mark.parametrize(("pre", "expected"), [
        ("smollm", {"the cat 123": ["t", "he", "Ġcat", "Ġ", "1", "2", "3"], "12345": ["1", "2", "3", "4", "5"],
                    "I'M": ["I", "'", "M"], "a\n\nb": ["a", "Ċ", "Ċ", "b"]}),
        ("gpt-2", {"the cat 123": ["t", "he", "Ġcat", "Ġ", "123"], "12345": ["123", "4", "5"],
                   "I'M": ["I", "'", "M"], "a\n\nb": ["a", "Ċ", "Ċ", "b"]}),
        ("llama-bpe", {"the cat 123": ["t", "he", "Ġcat", "Ġ", "123"], "12345": ["123", "4", "5"],
                       "I'M": ["I", "'M"], "a\n\nb": ["a", "ĊĊ", "b"]}),
        ("qwen2", {"the cat 123": ["t", "he", "Ġcat", "Ġ", "1", "2", "3"], "12345": ["1", "2", "3", "4", "5"],
                   "I'M": ["I", "'M"], "a\n\nb": ["a", "ĊĊ", "b"]}),
    ])
    def test_each_pre_tokenizer_splits_as_its_model_does(self, tmp_path: Path, pre: str, expected: dict) -> None:
        tokenizer = build(tmp_path, byte_level(tmp_path, pre))
        for text, pieces in expected.items():
            assert spelled(tokenizer, text) == pieces, text

    def test_bytes_control_tokens_and_the_beginning_token(self, tmp_path: Path) -> None:
        plain = build(tmp_path, byte_level(tmp_path, "smollm"))
        assert spelled(plain, "é x<|end|>y") == ["Ã", "©", "Ġ", "x", "<|end|>", "y"]
        assert plain.decode(plain.encode("é the\n\n cat 12<|end|>").ids, skip_special_tokens=False) == (
            "é the\n\n cat 12<|end|>")
        begun = build(tmp_path, byte_level(tmp_path, "smollm", **{"tokenizer.ggml.add_bos_token": True,
                                                                    "tokenizer.ggml.bos_token_id": END}))
        assert begun.encode("the").ids == [END, BYTE_TOKENS.index("t"), BYTE_TOKENS.index("he")]
        # Llama 3's files add it unless they say not to.
        assert build(tmp_path, byte_level(tmp_path, "llama-bpe", **{"tokenizer.ggml.bos_token_id": END})
                     ).encode("x").ids[0] == END

    @pytest.mark.parametrize(("entries", "message"), [
        ({"tokenizer.ggml.pre": "gibberish"}, "tokenizer.ggml.pre 'gibberish' is not supported; supported: smollm"),
        ({"tokenizer.ggml.model": "bert"}, "tokenizer.ggml.model 'bert' is not supported; supported: gpt2, llama"),
        ({"tokenizer.ggml.merges": ["h e", "ab"]}, r"tokenizer.ggml.merges\[1\] 'ab' is not two tokens"),
        ({"tokenizer.ggml.merges": ["h x"]}, "tokenizer.ggml.merges do not fit the tokens"),
        ({"tokenizer.ggml.token_type": [1, 2]}, "tokenizer.ggml.token_type holds 2 values, expected 268"),
        ({"tokenizer.ggml.add_bos_token": True, "tokenizer.ggml.bos_token_id": 9999},
         r"tokenizer.ggml.bos_token_id \(9999\) is outside the 268 tokens"),
        ({"tokenizer.ggml.add_bos_token": True}, "tokenizer.ggml.bos_token_id is missing"),
    ])
    def test_a_broken_or_unsupported_tokenizer_is_named(self, tmp_path: Path, entries: dict, message: str) -> None:
        with pytest.raises(ValueError, match=message):
            build(tmp_path, {**byte_level(tmp_path, "smollm"), **entries})

    def test_a_missing_pre_tokenizer_is_named(self, tmp_path: Path) -> None:
        entries = byte_level(tmp_path, "smollm")
        del entries["tokenizer.ggml.pre"]
        with pytest.raises(ValueError, match="tokenizer.ggml.pre is missing, so how the text is split is unknown"):
            build(tmp_path, entries)


# A SentencePiece vocabulary: unknown, control and byte tokens, then pieces;
# a higher score merges first.
SPM_PIECES = {"▁": -1.0, "t": -2.0, "h": -3.0, "e": -4.0, "c": -5.0, "a": -6.0,
              "he": -10.0, "▁t": -11.0, "▁the": -12.0, "at": -13.0, "▁c": -14.0, "▁cat": -15.0, "th": -20.0}
SPM_TOKENS = ["<unk>", "<s>", "</s>", *(f"<0x{b:02X}>" for b in range(256)), *SPM_PIECES]
SPM_TYPES = [UNKNOWN, CONTROL, CONTROL, *[BYTE] * 256, *[NORMAL] * len(SPM_PIECES)]


def sentencepiece(**extra) -> dict:
    return {"tokenizer.ggml.model": "llama", "tokenizer.ggml.tokens": SPM_TOKENS,
            "tokenizer.ggml.scores": [0.0] * 259 + list(SPM_PIECES.values()), "tokenizer.ggml.token_type": SPM_TYPES,
            "tokenizer.ggml.bos_token_id": 1, "tokenizer.ggml.eos_token_id": 2, "tokenizer.ggml.unknown_token_id": 0,
            **extra}


class TestSentencePiece:
    def test_pieces_merge_by_score_and_unknown_characters_fall_back_to_bytes(self, tmp_path: Path) -> None:
        tokenizer = build(tmp_path, sentencepiece())

        def pieces(text: str) -> list[str]:
            return [SPM_TOKENS[i] for i in tokenizer.encode(text).ids]

        # "he" merges before "th" (its score is higher), then "▁t" + "he".
        assert pieces("the cat") == ["<s>", "▁the", "▁cat"]
        assert pieces("é") == ["<s>", "▁", "<0xC3>", "<0xA9>"]
        # After a control token the text gets its space again, as in
        # Llama 2's published tokenizer.
        assert pieces("the</s>cat") == ["<s>", "▁the", "</s>", "▁cat"]
        assert tokenizer.decode(tokenizer.encode("the cat é").ids) == "the cat é"
        bare = build(tmp_path, sentencepiece(**{"tokenizer.ggml.add_space_prefix": False,
                                                 "tokenizer.ggml.add_bos_token": False}))
        assert [SPM_TOKENS[i] for i in bare.encode("the cat").ids] == ["t", "he", "▁cat"]

    def test_scores_are_needed(self, tmp_path: Path) -> None:
        entries = sentencepiece()
        del entries["tokenizer.ggml.scores"]
        with pytest.raises(ValueError, match="tokenizer.ggml.scores is missing"):
            build(tmp_path, entries)


def test_a_tokenizer_json_beside_the_file_wins(tmp_path: Path) -> None:
    model = tiny_model(vocab=len(BYTE_TOKENS))
    path = write_gguf(tmp_path / "model.gguf", model, metadata={
        key: (value, ARRAY) if isinstance(value, list) else value for key, value in byte_level(tmp_path, "qwen2").items()})
    from_metadata = load_model(path)
    assert from_metadata.encode("the 12") == [BYTE_TOKENS.index(t) for t in ("t", "he", "Ġ", "1", "2")]
    write_tokenizer(tmp_path / "tokenizer.json", len(BYTE_TOKENS))
    assert load_model(path).encode(" ".join(WORDS[:3])) == [1, 2, 3, 4]


# ---- an independent conversion: transformers' own --------------------------------------

TRICKY = [
    "3.14159, 1,000,000 and 2024-01-01T12:30; x² ½ ١٢٣",
    "a  b   c\t\td\n\n\ne \r\n  \n",
    "naïve café 漢字 😀 Ünïcödé ﬁ",
    "def f(x):\n    return x**2  # comment\n\tif x >= 1: pass\n",
    "I'M don't You'LL we'd THEY'RE",
    "   leading and trailing   ",
    "<|im_start|>user\nhi there<|im_end|>\n",
]


def transformers_conversion(metadata: dict, architecture: str = "llama"):
    """transformers' tokenizer for the same metadata, or a skip saying why."""
    if importlib.util.find_spec("transformers") is None:
        pytest.skip("transformers is not installed (requirements-dev.txt installs it)")
    try:
        from transformers.integrations.gguf.gguf_tokenizer_mapping import (GGUF_TOKENIZER_MAPPING,
                                                                          convert_gguf_tokenizer)
    except ImportError as exc:
        pytest.skip(f"this transformers has no GGUF tokenizer conversion that works without torch: {exc}")
    fields = {name: metadata[f"tokenizer.{key}"] for key, name in GGUF_TOKENIZER_MAPPING["tokenizer"].items()
              if f"tokenizer.{key}" in metadata}
    tokenizer, _ = convert_gguf_tokenizer(architecture, fields)
    return tokenizer


def same_ids(ours, theirs, texts) -> None:
    for text in texts:
        assert ours.encode(text, add_special_tokens=False).ids == theirs.encode(
            text, add_special_tokens=False).ids, text


@pytest.mark.parametrize("pre", ["llama-bpe", "qwen2", "gpt-2"])
def test_byte_level_agrees_with_transformers(tmp_path: Path, pre: str) -> None:
    # transformers has no split of its own for "smollm": the reference model's test covers it.
    entries = byte_level(tmp_path, pre)
    same_ids(build(tmp_path, entries), transformers_conversion(entries), TRICKY + ["the cat 12345 I'M a\n\nb"])


def test_sentencepiece_agrees_with_transformers(tmp_path: Path) -> None:
    entries = sentencepiece()
    # Its conversion puts no space before text that begins with one, nor
    # after a special token; Llama 2's published tokenizer and ours do.
    texts = [t for t in TRICKY if not t.startswith(" ") and "<|" not in t]
    same_ids(build(tmp_path, entries), transformers_conversion(entries), texts + ["the cat", "thecat the  "])


# GPT-2's split, as llama.cpp writes it for SmolLM's vocabulary after it has
# cut every digit out on its own.
GPT2_SPLIT = r"'s|'t|'re|'ve|'m|'ll|'d| ?\p{L}+| ?\p{N}+| ?[^\s\p{L}\p{N}]+|\s+(?!\S)|\s+"


@pytest.fixture(scope="module")
def conversion(smollm2):
    """transformers' conversion of the reference model's tokenizer (its
    vocabulary, merges and special tokens), splitting the text as SmolLM's
    published tokenizer does: transformers has no split of its own for
    "smollm" and would keep digits together as GPT-2 does, which gives other
    ids before digits (on 17 of the 79 pydoc topics)."""
    from tokenizers import Regex, pre_tokenizers
    file = GGUFFile(smollm2.path)
    metadata = {key: field.value if field.item is None or field.item == STRING else field.value.tolist()
                for key, field in file.metadata.fields.items() if key.startswith("tokenizer.")}
    tokenizer = transformers_conversion(metadata)
    tokenizer.pre_tokenizer = pre_tokenizers.Sequence([
        pre_tokenizers.Split(Regex(r"\p{N}"), behavior="isolated"),
        pre_tokenizers.Split(Regex(GPT2_SPLIT), behavior="isolated"),
        pre_tokenizers.ByteLevel(add_prefix_space=False, use_regex=False)])
    return tokenizer


class TestReferenceTokenizer:
    def test_it_is_what_the_card_says(self, smollm2) -> None:
        tokenizer = smollm2.tokenizer
        assert tokenizer.get_vocab_size() == 49152
        # No beginning token; the chat markers are single tokens.
        assert smollm2.encode("<|im_start|>user") == [1, tokenizer.token_to_id("user")]
        assert smollm2.encode("Hello") == [tokenizer.token_to_id("Hello")]

    def test_real_text_gives_the_ids_of_an_independent_conversion(self, smollm2, conversion) -> None:
        from pydoc_data.topics import topics
        same_ids(smollm2.tokenizer, conversion, list(topics.values()))

    def test_tricky_strings_give_the_ids_of_an_independent_conversion(self, smollm2, conversion) -> None:
        same_ids(smollm2.tokenizer, conversion, TRICKY)
