"""kelpie's first run: no account needed.

    python examples/demo.py

loads the demo settings with ``kelpie.larder.load_config``, starts the local
chat-completion service of ``chat_service.py`` on 127.0.0.1, sends it a prompt
with ``kelpie.courier.async_llm_api``, streams a second answer with
``async_call_api_stream(..., sse=True)`` and prints the pieces as they arrive,
and finally shows the (status, text) pair that a refused request returns.

    python examples/demo.py --url https://host/v1/chat/completions --key KEY [--model NAME]

does the same with a real chat-completion service instead of the local one
(without --model the request names async_llm_api's default model).
"""

from __future__ import annotations

import argparse
import asyncio
import inspect
import json
import sys
from pathlib import Path
from typing import Any, Dict, List, Optional

import aiohttp

import chat_service
from kelpie.courier import async_call_api_stream, async_llm_api
from kelpie.larder import load_config

HERE = Path(__file__).resolve().parent


def parse_args(argv: Optional[List[str]] = None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        description="Show kelpie answering a chat prompt, in one piece and streamed.",
        epilog="Without --url the demo starts a local chat service; no account is needed.",
    )
    parser.add_argument("--url", help="chat-completions endpoint of a real service")
    parser.add_argument("--key", help="API key of that service (sent as a bearer token)")
    parser.add_argument("--model", help="model name for the real service")
    parser.add_argument("--prompt", help="the prompt (default: the one in the settings file)")
    parser.add_argument("--config", default=str(HERE / "demo.yaml"), help="settings file (YAML)")
    args = parser.parse_args(argv)
    if (args.url is None) != (args.key is None):
        parser.error("--url and --key go together")
    if args.model is not None and args.url is None:
        parser.error("--model needs --url and --key")
    return args


def reply_text(answer: Any) -> Optional[str]:
    """The assistant's text in a chat.completion answer, if it has one."""
    try:
        content = answer["choices"][0]["message"]["content"]
    except (KeyError, IndexError, TypeError):
        return None
    return content if isinstance(content, str) else None


def delta_texts(piece: bytes) -> List[str]:
    """The text pieces carried by one streamed chat.completion.chunk."""
    try:
        chunk = json.loads(piece)
    except ValueError:
        return []
    choices = chunk.get("choices") if isinstance(chunk, dict) else None
    texts: List[str] = []
    for choice in choices if isinstance(choices, list) else []:
        delta = choice.get("delta") if isinstance(choice, dict) else None
        content = delta.get("content") if isinstance(delta, dict) else None
        if isinstance(content, str) and content:
            texts.append(content)
    return texts


async def ask(url: str, key: str, model: Optional[str], prompt: str) -> bool:
    """The one-piece answer, then the streamed one; False when the service
    refused or failed."""
    print(f"\n>>> await async_llm_api({prompt!r}, url, key{'' if model is None else f', {model!r}'})")
    answer = await (async_llm_api(prompt, url, key) if model is None else async_llm_api(prompt, url, key, model))
    if isinstance(answer, tuple):
        status, text = answer
        print(f"the service answered with status {status}: {text}")
        return False
    text = reply_text(answer)
    print(f"reply: {text}" if text is not None else f"answer: {answer!r}")

    if model is None:
        model = inspect.signature(async_llm_api).parameters["llm_name"].default
    headers: Dict[str, str] = {"Authorization": f"Bearer {key}", "Content-Type": "application/json"}
    payload = {"model": model, "messages": [{"role": "user", "content": prompt}], "stream": True}
    print("\n>>> async for piece in async_call_api_stream(url, headers=headers, payload=payload, sse=True)")
    first = True
    try:
        async for piece in async_call_api_stream(url, headers=headers, payload=payload, sse=True):
            if first:
                print(f"first piece (bytes): {piece[:60]!r}{'...' if len(piece) > 60 else ''}")
                print("streamed reply: ", end="", flush=True)
                first = False
            if piece == b"[DONE]":
                break
            for text in delta_texts(piece):
                print(text, end="", flush=True)
    except RuntimeError as error:  # a status other than 200: "<status>: <body>"
        print(f"the service refused the streamed request: {error}")
        return False
    print()
    return True


async def run(args: argparse.Namespace) -> int:
    config = load_config(args.config)
    print(f">>> load_config({args.config!r})")
    print(config)
    prompt = args.prompt if args.prompt is not None else str(config["prompt"])

    if args.url is not None:
        return 0 if await ask(args.url, args.key, args.model, prompt) else 1

    local = config["local_service"]
    runner, url = await chat_service.start(answer=local["answer"], key=local["key"], pause=0.05)
    try:
        print(f"\nlocal chat service: {url} (model {local['model']!r}, key {local['key']!r})")
        if not await ask(url, local["key"], local["model"], prompt):
            return 1
        print("\n>>> await async_llm_api(prompt, url, 'wrong-key')   # any status but 200: (status, text)")
        print(await async_llm_api(prompt, url, "wrong-key"))
    finally:
        await runner.cleanup()
    return 0


def main(argv: Optional[List[str]] = None) -> int:
    args = parse_args(argv)
    try:
        return asyncio.run(run(args))
    except (aiohttp.ClientError, OSError, asyncio.TimeoutError) as error:
        print(f"\ndemo: the request failed: {type(error).__name__}: {error}", file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
